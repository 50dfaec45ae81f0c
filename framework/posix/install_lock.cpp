// The installation lock as an advisory lock on the directory itself: flock on a directory descriptor
// needs no lock file, and the kernel drops the lock with the last descriptor of its holder.
#include "framework/install_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pc {

TInstallationLock::TInstallationLock(std::string directory) : directory_(std::move(directory)) {}

TInstallationLock::~TInstallationLock() {
    if (handle_ >= 0)
        ::close(handle_); // closing the only descriptor releases the lock
}

bool TInstallationLock::TryAcquire() {
    if (held_)
        return true;
    if (handle_ < 0) {
        // Close-on-exec: a patch's program must not inherit the lock and keep it past this process.
        handle_ = ::open(directory_.empty() ? "." : directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (handle_ < 0) {
            held_ = true;
            return true;
        }
    }
    int result = 0;
    do {
        result = ::flock(handle_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        held_ = true;
    } else if (errno != EWOULDBLOCK) {
        held_ = true; // a file system without locks: behave as the launcher always has
    }
    return held_;
}

} // namespace pc
