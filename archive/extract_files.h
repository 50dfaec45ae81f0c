// The file-system side of extraction: directories, output files, times, attributes and the removable-media
// test that decides whether a written file is flushed to its device. The platform's part is the file
// service of framework/file_system.h.
#pragma once

#include "archive/streams.h"
#include "framework/file_system.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace pc {

// Creates `path` and every missing directory above it. One trailing '/' is ignored; an existing
// directory is success. An empty path raises pc::Exception "Unable to create directory".
bool CreateDirectoryChain(const std::string& path);

bool IsExistingDirectory(const std::string& path);
// A target that exists and is not a directory (symbolic links are followed).
bool IsExistingNonDirectory(const std::string& path);
// Removes a file or a symbolic link (never a directory); the result only says whether it went.
bool DeleteTarget(const std::string& path);
// Whether every write permission is off (Linux) or the read-only attribute is set (Windows).
bool IsReadOnlyFile(const std::string& path);

// The DOS date and time taken as local time in the process's time zone; nothing when the fields do not
// form a valid date and time.
std::optional<std::time_t> DosDateTimeToTime(std::uint16_t date, std::uint16_t time);
// A file's last-write time as a local DOS date-time ((date << 16) | time, as a signed 32-bit value);
// -1 when the file cannot be examined or its time has no DOS form.
std::int32_t FileAgeDos(const std::string& path);

// The permissions an extracted file gets from its entry: the stored Unix permission bits 0777 when the
// entry was made on Unix (never setuid, setgid or sticky), else 0644; the read-only attribute (0x01)
// takes away every write permission.
std::uint32_t ExtractedFileMode(std::uint16_t versionMadeBy, std::uint32_t externalAttr);

// A file being extracted: created anew, written, stamped, closed.
class TZAOutputFile : public TStream {
public:
    TZAOutputFile() = default;
    ~TZAOutputFile() override;

    // Creates (or truncates) the file for reading and writing. A symbolic link in its place is removed,
    // never followed, unless it leads to a directory (then creation fails). False when it cannot be made.
    bool Create(const std::string& path);
    bool IsOpen() const { return file_.Valid(); }
    const std::string& Path() const { return path_; }

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Writes as much as the file system takes and returns that count (short on a full disk).
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

    bool SetLastWriteTime(std::time_t when); // access time untouched
    // The entry's attributes: Unix permissions (ExtractedFileMode) where files carry those, the DOS
    // attribute bits read-only, hidden, system and archive where files carry those.
    bool SetEntryAttributes(std::uint16_t versionMadeBy, std::uint32_t externalAttr);
    bool Flush(); // to the device
    bool IsOnRemovableMedia() const;
    void Close();

private:
    fsys::TFile file_;
    std::string path_;
    std::int64_t position_ = 0;
};

} // namespace pc
