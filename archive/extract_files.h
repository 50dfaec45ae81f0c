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
// Whether every write permission is off (Linux) or the read-only attribute is set (Windows).
bool IsReadOnlyFile(const std::string& path);

// The DOS date and time taken as local time in the process's time zone; nothing when the fields do not
// form a valid date and time.
std::optional<std::time_t> DosDateTimeToTime(std::uint16_t date, std::uint16_t time);
// A file's last-write time as a local DOS date-time ((date << 16) | time, as a signed 32-bit value);
// -1 when the file cannot be examined or its time has no DOS form.
std::int32_t FileAgeDos(const std::string& path);
// A file's last-write time in whole seconds; nothing when it cannot be examined.
std::optional<std::time_t> FileModTime(const std::string& path);

// The permissions an extracted file gets from its entry: the stored Unix permission bits 0777 when the
// entry was made on Unix (never setuid, setgid or sticky), less the bits of `creationMask` (the umask), so
// that an archive cannot make a file writable by more users than the player's own new files are. An
// entry without them (made on DOS or Windows) keeps the permissions of the file it replaces, so that a
// replaced program stays executable, and a new file gets 0644 less the mask. The read-only attribute
// (0x01) takes away every write permission; without it a file that would have none gets its owner's.
std::uint32_t ExtractedFileMode(std::uint16_t versionMadeBy, std::uint32_t externalAttr,
                                std::optional<std::uint32_t> replacedMode = std::nullopt,
                                std::uint32_t creationMask = fsys::CreationMask());

// A file being extracted. It is written to a fresh temporary beside its target and renamed over the
// target only once it is complete, stamped and given its attributes: a failed or interrupted entry leaves
// the old file exactly as it was, and a crash leaves the old or the new file, never part of one. A running
// program can be replaced this way, since its file is never opened for writing (on Windows it is moved
// aside first, as a running program may be renamed there but not replaced).
class TZAOutputFile : public TStream {
public:
    TZAOutputFile() = default;
    ~TZAOutputFile() override; // an uncommitted temporary is removed

    // Opens a fresh temporary for `target` for reading and writing (fsys::CreateTemporaryBeside: a name
    // no entry can be extracted to, or none at all yet). The target is not followed when it is a
    // symbolic link: a link there is replaced, except one that leads to a directory. False when the
    // target is a directory (or such a link) or the temporary cannot be made. `replacesFile`, when given,
    // is what the caller found at the target (a file, or nothing or a directory), which spares asking
    // again for each of many small files; `nameIsFree` that nothing at all bears the target's name (the
    // caller read its folder), which spares asking anything.
    bool Create(const std::string& target, std::optional<bool> replacesFile = std::nullopt,
                bool nameIsFree = false);
    bool IsOpen() const { return file_.Valid(); }
    const std::string& Path() const { return target_; }
    // The temporary's name; empty while it has none (Linux makes it unnamed).
    const std::string& TemporaryPath() const { return temporary_; }
    // The permission bits of the regular file that the target names now (through a link), if there is one
    // and the platform keeps permission bits.
    std::optional<std::uint32_t> ReplacedMode() const { return replacedMode_; }

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Writes as much as the file system takes and returns that count (short on a full disk).
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    bool OutOfSpace() const override { return outOfSpace_; }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

    bool SetLastWriteTime(std::time_t when); // access time untouched
    // The entry's attributes: Unix permissions (ExtractedFileMode) where files carry those, the DOS
    // attribute bits read-only, hidden, system and archive where files carry those.
    bool SetEntryAttributes(std::uint16_t versionMadeBy, std::uint32_t externalAttr);
    bool Flush(); // to the device
    bool IsOnRemovableMedia() const;

    // Closes the temporary and renames it over the target. False when that fails; the temporary is then
    // removed and the target untouched.
    bool Commit();
    // Closes and removes the temporary; the target is untouched.
    void Discard() noexcept;

private:
    fsys::TFile file_;
    std::string target_;
    std::string temporary_;
    std::optional<std::uint32_t> replacedMode_;
    std::int64_t position_ = 0;
    bool outOfSpace_ = false;
};

} // namespace pc
