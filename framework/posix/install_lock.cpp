// The installation lock as an open-file-description write lock on the lock file. A write lock needs a
// descriptor open for writing, and the file is made 0600, so a user who may only read the installation
// cannot take it (flock, which takes a descriptor opened read-only, would let any reader hold it). The
// lock belongs to this open file, not to the process: a second lock object of the same process is refused
// as another holder is, and the kernel drops the lock with the last descriptor, however the holder ends.
#include "framework/install_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pc {

TInstallationLock::TInstallationLock(std::string directory, bool mayCreate)
    : directory_(std::move(directory)), mayCreate_(mayCreate) {}

TInstallationLock::~TInstallationLock() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_)); // closing the only descriptor releases the lock
}

bool TInstallationLock::TryAcquire() {
    if (held_)
        return true;
    std::string path = directory_;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += kInstallationLockFileName;
    // A lock taken on a file that another has since put another file in the place of guards nothing:
    // whoever opens the name now locks that one. Such a lock is let go and the new file locked instead.
    constexpr int kAttempts = 4;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (handle_ < 0) {
            // Never through a link, and never waiting on a pipe put in its place; close-on-exec, so that a
            // patch's program does not inherit the lock and keep it past this process.
            const int fd = ::open(path.c_str(),
                                  O_WRONLY | (mayCreate_ ? O_CREAT : 0) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                  S_IRUSR | S_IWUSR);
            struct stat st {};
            if (fd < 0) {
                // A folder, a pipe or a link in the way; otherwise a user who may not write here, who goes
                // on without the lock, as decided (and a check that only reads, where there is none).
                if (errno == ELOOP || (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
                    throw ENotARegularLock();
                held_ = true;
                return true;
            }
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                ::close(fd);
                throw ENotARegularLock();
            }
            handle_ = fd;
        }
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET; // start 0, length 0: the whole file, however it grows
        int result = 0;
        do {
            result = ::fcntl(static_cast<int>(handle_), F_OFD_SETLK, &whole);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            if (errno == EAGAIN || errno == EACCES)
                return false;
            held_ = true; // a file system without locks: behave as the launcher always has
            return true;
        }
        struct stat locked {
        }, named{};
        if (::fstat(static_cast<int>(handle_), &locked) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
            held_ = true;
            return true;
        }
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
    return false;
}

} // namespace pc
