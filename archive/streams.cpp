#include "archive/streams.h"
#include "framework/posix/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pc {

std::int64_t TStream::Size() {
    std::int64_t here = Position();
    std::int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(here, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count < 0 || (count != 0 && Read(buffer, count) != count))
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count < 0 || (count != 0 && Write(buffer, count) != count))
        throw EWriteError("Stream write error");
}

TFileStream::TFileStream(const std::string& path, std::uint16_t mode) : path_(path) {
    if (mode == fmCreate) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw EFCreateError("Cannot create file " + path);
        return;
    }
    int flags = O_CLOEXEC;
    switch (mode & 3) {
    case fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    default:
        flags |= O_RDONLY;
        break;
    }
    fd_ = ::open(path.c_str(), flags);
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0)
        throw EFOpenError("Cannot open file " + path);
}

TFileStream::~TFileStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::int64_t done = posix::TransferFully(count, [&](std::int64_t at) {
        return ::pread(fd_, out + at, static_cast<std::size_t>(count - at), position_ + at);
    });
    position_ += done;
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    const std::int64_t done = posix::TransferFully(count, [&](std::int64_t at) {
        return ::pwrite(fd_, in + at, static_cast<std::size_t>(count - at), position_ + at);
    });
    position_ += done;
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent)
        base = position_;
    else if (origin == TSeekOrigin::soEnd)
        base = Size();
    // A position before the start is clamped; reads from beyond the end simply come up short.
    position_ = std::max<std::int64_t>(0, base + offset);
    return position_;
}

void TFileStream::SetSize(std::int64_t size) {
    if (::ftruncate(fd_, size) != 0)
        throw EWriteError("Stream write error");
}

std::int64_t TFileStream::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return 0;
    return st.st_size;
}

bool TFileStream::Flush() {
    return ::fsync(fd_) == 0;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    std::int64_t available = std::max<std::int64_t>(0, Size() - position_);
    std::int64_t n = std::min(count, available);
    if (n > 0)
        std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    if (position_ + count > Size())
        data_.resize(static_cast<std::size_t>(position_ + count));
    std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
    position_ += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent ? position_
                                                           : Size();
    position_ = std::max<std::int64_t>(0, base + offset);
    return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    position_ = std::min(position_, size);
}

} // namespace pc
