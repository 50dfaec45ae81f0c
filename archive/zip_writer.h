// Writing patch archives: the component's record layouts, raw deflate, Zip64 where sizes or counts need
// it, and the same bytes for the same input.
#pragma once

#include "framework/exceptions.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pc {

// A problem with writing or checking an archive; the message names the entry or file concerned.
class EZipWriteError : public Exception {
public:
    using Exception::Exception;
};

// One entry to write.
struct TZipSourceEntry {
    // The stored name: relative, '/'-separated, UTF-8; a directory's name ends with '/'.
    std::string name;
    // The file whose bytes are stored; empty for a directory.
    std::string sourcePath;
    // The file's type and permission bits as the file system gives them (st_mode).
    std::uint32_t unixMode = 0;
    // The last modification, in seconds since the epoch; stored as local DOS date and time.
    std::int64_t modTime = 0;
};

struct TZipWriteOptions {
    // zlib's compression level for deflated entries.
    int level = 6;
    // Threads that deflate ahead of the writer; 0 takes the machine's cores.
    unsigned threads = 0;
    // Called on the calling thread as the source files' bytes are packed (the bytes so far), and once with
    // `checking` true before the written archive is decoded for its check.
    std::function<void(std::uint64_t bytesPacked, bool checking)> progress;
    // When set, each file's SHA-256 (64 lower-case hexadecimal digits) is taken from the very bytes that
    // were packed, in the same read, and handed over on the calling thread in the order of the entries,
    // with the file's size: a manifest of the archive then describes exactly what it holds.
    std::function<void(std::size_t entry, std::uint64_t size, const std::string& sha256)> fileDigest;
};

// Writes `entries`, in the order given, as one archive at `path`. The archive is written to a temporary
// file next to `path`, checked with CheckZipArchive and only then renamed over `path`; on any failure
// nothing is left at `path` that was not there before. EZipWriteError, EFOpenError, EFCreateError,
// EWriteError.
void WriteZipArchive(const std::string& path, const std::vector<TZipSourceEntry>& entries,
                     const TZipWriteOptions& options = {});

// Opens `path` with the launcher's archive component (damaged archives are not repaired here), compares
// its entry names with `names`, in order, and decodes every entry into a null sink. EZipWriteError naming
// the first entry that differs or does not decode.
void CheckZipArchive(const std::string& path, const std::vector<std::string>& names);

// The MS-DOS date and time words of `time` in local time, clamped to the years the format can hold.
void DosDateTimeOf(std::int64_t time, std::uint16_t& date, std::uint16_t& dosTime);

} // namespace pc
