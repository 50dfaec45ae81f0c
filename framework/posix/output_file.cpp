// The output file on a POSIX descriptor.
#include "framework/output_file.h"

#include "framework/exceptions.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace pc {
namespace {

// Codes the writer sets itself, besides the system's.
constexpr int kCloseRefused = 1;
constexpr int kNotOpen = 103;

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

} // namespace

int InOutCodeFromSystemError(int err) {
    switch (err) {
    case ENOENT:
        return kFileNotFoundCode;
    case ENOTDIR:
        return kInvalidFilenameCode;
    case EMFILE:
    case ENFILE:
        return kTooManyOpenFilesCode;
    case EACCES:
    case EPERM:
    case EROFS:
        return kAccessDeniedCode;
    case ENOSPC:
    case EDQUOT:
        return kDiskFullCode;
    default:
        return err;
    }
}

bool IsUnusableNameCode(int code) {
    return code == ENAMETOOLONG || code == EILSEQ || code == EINVAL;
}

TOutputFile::~TOutputFile() {
    if (handle_ >= 0)
        ::close(Fd(handle_));
}

void CreateOutputFile(TOutputFile& file, const std::string& path) {
    if (file.handle_ >= 0) {
        ::close(Fd(file.handle_));
        file.handle_ = -1;
    }
    file.path_ = path;
    // Never through a link: what the name points to may be any file of the installation or beyond it.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        const int err = errno;
        // With O_CREAT the file itself need not exist, so ENOENT means a directory on the way is missing.
        RaiseInOutError(err == ENOENT ? kInvalidFilenameCode : InOutCodeFromSystemError(err), file.path_);
    }
    file.handle_ = fd;
}

void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length) {
    if (file.handle_ >= 0) {
        ::close(Fd(file.handle_));
        file.handle_ = -1;
    }
    file.path_ = path;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        RaiseInOutError(InOutCodeFromSystemError(errno), file.path_);
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
        const int err = errno;
        ::close(fd);
        RaiseInOutError(InOutCodeFromSystemError(err), file.path_);
    }
    file.handle_ = fd;
}

void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count) {
    if (file.handle_ < 0)
        RaiseInOutError(kNotOpen, file.path_);
    if (count == 0)
        return;
    ssize_t put;
    do {
        put = ::write(Fd(file.handle_), buffer, count);
    } while (put < 0 && errno == EINTR);
    if (put >= 0 && static_cast<std::size_t>(put) == count)
        return;
    const int code = put < 0 ? InOutCodeFromSystemError(errno) : kDiskFullCode;
    // A failed write ends the file's use: close it so no descriptor is left behind; what was written stays.
    ::close(Fd(file.handle_));
    file.handle_ = -1;
    RaiseInOutError(code, file.path_);
}

bool OutputRoomFor(TOutputFile& file, std::int64_t count) {
    if (file.handle_ < 0 || count < 0)
        return false;
    const off_t end = ::lseek(Fd(file.handle_), 0, SEEK_CUR);
    if (end < 0)
        return false;
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(end) + static_cast<rlim_t>(count) > limit.rlim_cur)
        return false;
    struct statvfs disk {};
    if (::fstatvfs(Fd(file.handle_), &disk) != 0)
        return false;
    return static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize >= static_cast<std::uint64_t>(count);
}

void CloseOutputFile(TOutputFile& file) {
    if (file.handle_ < 0)
        RaiseInOutError(kNotOpen, file.path_);
    const int fd = Fd(file.handle_);
    file.handle_ = -1;
    if (::close(fd) != 0)
        RaiseInOutError(kCloseRefused, file.path_);
}

} // namespace pc
