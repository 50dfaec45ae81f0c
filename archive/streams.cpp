#include "archive/streams.h"

#include <algorithm>
#include <cstring>

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

std::int64_t CheckedPosition(std::int64_t base, std::int64_t offset) {
    std::int64_t position = 0;
    if (__builtin_add_overflow(base, offset, &position) || position < 0)
        throw EReadError("Stream read error");
    return position;
}

namespace {

fsys::TShare ShareOf(std::uint16_t mode) {
    switch (mode & 0xF0) {
    case fmShareDenyWrite:
        return fsys::TShare::DenyWrite;
    case fmShareDenyRead:
        return fsys::TShare::DenyRead;
    case fmShareDenyNone:
        return fsys::TShare::DenyNone;
    default:
        return fsys::TShare::Exclusive; // 0 (compatibility) and exclusive
    }
}

} // namespace

TFileStream::TFileStream(const std::string& path, std::uint16_t mode) : path_(path) {
    if (mode == fmCreate) {
        file_ = fsys::CreateAlways(path, fsys::TShare::Exclusive);
        if (!file_.Valid())
            throw EFCreateError("Cannot create file " + path);
        return;
    }
    fsys::TAccess access = fsys::TAccess::Read;
    switch (mode & 3) {
    case fmOpenWrite:
        access = fsys::TAccess::Write;
        break;
    case fmOpenReadWrite:
        access = fsys::TAccess::ReadWrite;
        break;
    default:
        break;
    }
    file_ = fsys::OpenExisting(path, access, ShareOf(mode));
    if (!file_.Valid())
        throw EFOpenError("Cannot open file " + path);
}

TFileStream::~TFileStream() = default;

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    if (count > 0 && count < kSmallRead)
        return ReadSmall(buffer, count);
    const std::int64_t done = fsys::ReadAt(file_, buffer, count, position_);
    position_ += done;
    return done;
}

std::int64_t TFileStream::ReadSmall(void* buffer, std::int64_t count) {
    const auto held = static_cast<std::int64_t>(ahead_.size());
    if (aheadStart_ < 0 || position_ < aheadStart_ || position_ + count > aheadStart_ + held) {
        ahead_.resize(static_cast<std::size_t>(kReadAhead));
        const std::int64_t got = fsys::ReadAt(file_, ahead_.data(), kReadAhead, position_);
        ahead_.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
        aheadStart_ = position_;
    }
    const std::int64_t from = position_ - aheadStart_;
    const std::int64_t done = std::min(count, static_cast<std::int64_t>(ahead_.size()) - from);
    if (done <= 0)
        return 0;
    std::memcpy(buffer, ahead_.data() + from, static_cast<std::size_t>(done));
    position_ += done;
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    aheadStart_ = -1; // what was read ahead may be what this overwrites
    const std::int64_t done = fsys::WriteAt(file_, buffer, count, position_);
    position_ += done;
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent)
        base = position_;
    else if (origin == TSeekOrigin::soEnd)
        base = Size();
    // Reads from beyond the end simply come up short; a position before the start (or past the range of
    // positions) is refused, never moved to the start, where it would read another entry's data.
    position_ = CheckedPosition(base, offset);
    return position_;
}

void TFileStream::SetSize(std::int64_t size) {
    aheadStart_ = -1;
    if (!fsys::Truncate(file_, size))
        throw EWriteError("Stream write error");
}

std::int64_t TFileStream::Size() {
    return fsys::SizeOf(file_);
}

bool TFileStream::Flush() {
    return fsys::FlushToDevice(file_);
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
    position_ = CheckedPosition(base, offset);
    return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    position_ = std::min(position_, size);
}

} // namespace pc
