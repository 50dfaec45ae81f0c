#include "window/qt/screen_spot.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pc {

namespace {

// More launchers than this at once share the last spots' places anyway.
constexpr int kSpots = 32;

} // namespace

std::string TScreenSpot::DefaultFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        return std::string(runtime) + "/patch-client";
    return "/tmp/patch-client-" + std::to_string(::getuid());
}

TScreenSpot::TScreenSpot(const std::string& folder) {
    // The folder is the user's own: one that another user made, or that is not a folder, is not used.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return;
    for (int spot = 0; spot < kSpots; ++spot) {
        const std::string path = folder + "/spot-" + std::to_string(spot);
        posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.Valid())
            return;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
            lock_ = std::move(fd);
            index_ = spot;
            return;
        }
        if (errno != EWOULDBLOCK)
            return;
    }
}

} // namespace pc
