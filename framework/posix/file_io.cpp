#include "framework/file_io.h"

#include "framework/posix/file_io.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/posix/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pc {
namespace {

using posix::TransferFully;
using posix::UniqueFd;

[[noreturn]] void RaiseOpen(const std::string& path) {
    throw EFOpenError("Cannot open file " + path);
}
[[noreturn]] void RaiseCreate(const std::string& path) {
    throw EFCreateError("Cannot create file " + path);
}
[[noreturn]] void RaiseWrite() {
    throw EWriteError("Stream write error");
}

// Creates a fresh, uniquely named file beside `path`, readable by all and writable by its owner, less
// the umask.
UniqueFd CreateSibling(const std::string& path, std::string& siblingName) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const TReplacementMarks marks = ReplacementTemporaryMarks();
        siblingName = PathPart(path) + "." + NamePart(path) + marks.beforeDigits + RandomHexDigits(12) +
                      ".tmp" + marks.atTheEnd;
        const int fd = ::open(siblingName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            return UniqueFd(fd);
        if (errno != EEXIST)
            break;
    }
    siblingName.clear();
    return UniqueFd();
}

// Removes the temporary file unless the rename has taken it over.
class SiblingGuard {
public:
    explicit SiblingGuard(const std::string& name) : name_(name) {}
    SiblingGuard(const SiblingGuard&) = delete;
    SiblingGuard& operator=(const SiblingGuard&) = delete;
    ~SiblingGuard() {
        if (!committed_)
            ::unlink(name_.c_str());
    }
    void Commit() { committed_ = true; }

private:
    std::string name_;
    bool committed_ = false;
};

} // namespace

TReplacementMarks ReplacementTemporaryMarks() {
    return {"\\", ""};
}

bool RemoveReplacementTemporary(const std::string& path) {
    return RemoveFile(path);
}

std::string ReadWholeFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        RaiseOpen(path);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode))
        RaiseOpen(path);

    std::string bytes;
    if (S_ISREG(st.st_mode) && st.st_size > 0)
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), chunk, sizeof chunk);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // A half-read file must not pass for the whole one.
            RaiseOpen(path);
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

void ReplaceFile(const std::string& path, const std::string& bytes) {
    if (path.empty())
        RaiseCreate(path);
    struct stat target {};
    const bool targetExists = ::stat(path.c_str(), &target) == 0;
    if (targetExists && S_ISDIR(target.st_mode))
        RaiseCreate(path);
    // Only a file that is itself the target hands on its permissions; a link is replaced by a plain file.
    struct stat entry {};
    const bool keepMode = ::lstat(path.c_str(), &entry) == 0 && S_ISREG(entry.st_mode);

    std::string siblingName;
    UniqueFd fd = CreateSibling(path, siblingName);
    if (!fd.Valid())
        RaiseCreate(path);
    SiblingGuard guard(siblingName);

    // The replacement keeps the permission bits the old file had, never its set-id or sticky bits.
    if (keepMode)
        ::fchmod(fd.Get(), entry.st_mode & 0777);

    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t done = TransferFully(size, [&](std::int64_t at) {
        return ::write(fd.Get(), bytes.data() + at, bytes.size() - static_cast<std::size_t>(at));
    });
    if (done != size)
        RaiseWrite();
    if (::fsync(fd.Get()) != 0 || !fd.Close())
        RaiseWrite();
    if (::rename(siblingName.c_str(), path.c_str()) != 0)
        RaiseCreate(path);
    guard.Commit();
    RemoveLeftoverTemporaries(path); // this save's own temporary is gone with the rename

    // Make the rename itself durable; the content is already safe, so a failure here changes nothing.
    const std::string dir = PathPart(path).empty() ? std::string(".") : PathPart(path);
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Valid())
        ::fsync(dirFd.Get());
}

} // namespace pc
