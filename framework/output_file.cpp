#include "framework/output_file.h"

#include "framework/exceptions.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pc {
namespace {

// Codes the writer sets itself, besides the system's.
constexpr int kCloseRefused = 1;
constexpr int kShortWrite = 101;
constexpr int kNotOpen = 103;

[[noreturn]] void RaiseInOut(int code) {
    throw EInOutError(InOutErrorMessage(code), code);
}

} // namespace

std::string InOutErrorMessage(int code) {
    switch (code) {
    case 2:
        return "File not found";
    case 3:
        return "Invalid filename";
    case 4:
        return "Too many open files";
    case 5:
        return "File access denied";
    case 100:
        return "Read beyond end of file";
    case 101:
        return "Disk full";
    case 106:
        return "Invalid numeric input";
    default:
        return "I/O error " + std::to_string(code);
    }
}

int InOutCodeFromErrno(int err) {
    switch (err) {
    case ENOENT:
        return 2;
    case ENOTDIR:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EROFS:
        return 5;
    case ENOSPC:
    case EDQUOT:
        return 101;
    default:
        return err;
    }
}

TOutputFile::~TOutputFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

void CreateOutputFile(TOutputFile& file, const std::string& path) {
    if (file.fd_ >= 0) {
        ::close(file.fd_);
        file.fd_ = -1;
    }
    file.path_ = path;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        // With O_CREAT the file itself need not exist, so ENOENT means a directory on the way is missing.
        RaiseInOut(err == ENOENT ? 3 : InOutCodeFromErrno(err));
    }
    file.fd_ = fd;
}

void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length) {
    if (file.fd_ >= 0) {
        ::close(file.fd_);
        file.fd_ = -1;
    }
    file.path_ = path;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        RaiseInOut(InOutCodeFromErrno(errno));
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
        const int err = errno;
        ::close(fd);
        RaiseInOut(InOutCodeFromErrno(err));
    }
    file.fd_ = fd;
}

void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count) {
    if (file.fd_ < 0)
        RaiseInOut(kNotOpen);
    if (count == 0)
        return;
    ssize_t put;
    do {
        put = ::write(file.fd_, buffer, count);
    } while (put < 0 && errno == EINTR);
    if (put >= 0 && static_cast<std::size_t>(put) == count)
        return;
    const int code = put < 0 ? InOutCodeFromErrno(errno) : kShortWrite;
    // A failed write ends the file's use: close it so no descriptor is left behind; what was written stays.
    ::close(file.fd_);
    file.fd_ = -1;
    RaiseInOut(code);
}

void CloseOutputFile(TOutputFile& file) {
    if (file.fd_ < 0)
        RaiseInOut(kNotOpen);
    const int fd = file.fd_;
    file.fd_ = -1;
    if (::close(fd) != 0)
        RaiseInOut(kCloseRefused);
}

} // namespace pc
