// Random-access byte streams the archive component reads archives through and writes entries into.
#pragma once

#include "framework/exceptions.h"
#include "framework/file_system.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pc {

// A read that must deliver every requested byte came up short.
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// base + offset as a stream position; EReadError "Stream read error" when that lies before the start or
// overflows.
std::int64_t CheckedPosition(std::int64_t base, std::int64_t offset);

// File modes of an archive stream: low two bits access, bits 4..7 sharing; fmCreate truncates or creates.
constexpr std::uint16_t fmCreate = 0xFFFF;
constexpr std::uint16_t fmOpenRead = 0x0000;
constexpr std::uint16_t fmOpenWrite = 0x0001;
constexpr std::uint16_t fmOpenReadWrite = 0x0002;
constexpr std::uint16_t fmShareExclusive = 0x0010;
constexpr std::uint16_t fmShareDenyWrite = 0x0020;
constexpr std::uint16_t fmShareDenyRead = 0x0030;
constexpr std::uint16_t fmShareDenyNone = 0x0040;

class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    // Both report the number of bytes actually moved; a short count is not an error here.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Returns the new position.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(std::int64_t size) = 0;
    virtual std::int64_t Size();
    // Whether the last write that came up short did so because the disk or the quota is full.
    virtual bool OutOfSpace() const { return false; }

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

    // Exact transfers: EReadError "Stream read error" / EWriteError "Stream write error" when short.
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);
};

// A file on disk. Names are UTF-8 paths. The sharing part of the mode takes effect where the platform
// enforces share modes (Windows); POSIX has none, so there only the access part counts.
class TFileStream : public TStream {
public:
    // EFCreateError "Cannot create file %s" for fmCreate, else EFOpenError "Cannot open file %s".
    TFileStream(const std::string& path, std::uint16_t mode);
    ~TFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override;

    bool Flush(); // pushes the file's buffers to the device
    const std::string& FileName() const { return path_; }

private:
    // Small reads (a local header, a tiny entry's data) are served from one read ahead: entries lie one
    // after another, so a patch of many small files costs one system call per run of them, not two each.
    static constexpr std::int64_t kSmallRead = 16 * 1024;
    static constexpr std::int64_t kReadAhead = 64 * 1024;
    std::int64_t ReadSmall(void* buffer, std::int64_t count);

    fsys::TFile file_;
    std::string path_;
    std::int64_t position_ = 0;
    std::vector<std::uint8_t> ahead_; // the file's bytes from aheadStart_ on, as last read
    std::int64_t aheadStart_ = -1;    // -1 when nothing is held
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }

    const std::vector<std::uint8_t>& Data() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::int64_t position_ = 0;
};

// A sink: reads and writes report the full count and move no data; Seek yields 0; SetSize does nothing.
class TNullStream : public TStream {
public:
    std::int64_t Read(void*, std::int64_t count) override { return count; }
    std::int64_t Write(const void*, std::int64_t count) override { return count; }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
    void SetSize(std::int64_t) override {}
};

} // namespace pc
