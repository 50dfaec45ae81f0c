// The directory of an open archive: its end records, comment, prefix and entries, and how they are read.
#pragma once

#include "archive/dir_items.h"
#include "archive/streams.h"
#include "archive/zip_records.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pc {

class TSequentialReader;

// What reading a directory depends on besides the file.
struct TZALoadOptions {
    bool OEMFileNames = true;
    bool RecoverDamagedArchives = true;
    bool MultiVolume = false; // a volume set is being read: rebuilding from local headers is refused
};

class TZADirManager {
public:
    explicit TZADirManager(TStream& stream);

    // Searches the tail of the stream for the end record with the given signature, nearest to the end
    // first; a candidate counts when exactly its comment follows it, or else, failing any such, when its
    // comment fits before the end and its directory checks out. Fills FoundRecord and Comment.
    // Returns the record's position, or -1.
    std::int64_t FindEndRecord(std::uint32_t signature = kEndRecordSignature);

    // Rebuilds the directory from the stream: end record, Zip64 records, central headers, then prefix
    // detection. A damaged directory is rebuilt from the local headers when options allow it.
    void LoadDirectory(const TZALoadOptions& options);

    // Writes the end record of an empty archive at the stream's end.
    void SaveEmptyDirectory();

    // Whether entry i's stored bytes (local header through the end of its data) share any byte with another
    // entry's. Several entries over one stream are how a small archive unpacks to far more than it holds,
    // so such entries are not extracted. Directories and nameless entries, which are never read, claim no
    // bytes. Worked out for the whole directory on first use.
    bool DataOverlapsAnother(std::int32_t i);

    TStream& Stream;
    TZAEndRecord EndRecord;
    TZAEndRecord FoundRecord; // the record the last search found (zeroed when none)
    TZAZip64Locator Zip64Locator;
    TZAZip64EndRecord Zip64EndRecord;
    bool IsZip64 = false;
    std::string Comment;
    std::int64_t PrefixSize = 0;     // bytes before the archive's first local header
    std::int64_t DirectoryStart = 0; // position of the first central header
    std::int32_t LastVolume = 0;
    TZADirArray Items;

    // The byte range [first, second) that entry i occupies in the stream, data clipped at DirectoryStart.
    std::pair<std::int64_t, std::int64_t> StoredRange(std::int32_t i);

private:
    void ResetEndRecord();
    // The directory that the record at recordPosition (with its Zip64 records, if any) describes lies
    // inside the file and starts with a central header.
    bool DirectoryChecksOut(std::int64_t recordPosition, const TZAEndRecord& record);
    bool ReadCentralDirectory(std::int64_t recordPosition, const TZALoadOptions& options);
    void ReadEntry(std::int32_t i, const TZALoadOptions& options, TSequentialReader& reader);
    void RecoverFromLocalHeaders(const TZALoadOptions& options);
    std::int64_t FindSignature(std::uint32_t signature, std::int64_t from, std::int64_t chunkSize,
                               std::int64_t minimumFollowing);
    std::int64_t FindDescriptor(std::int64_t from);
    void DetectPrefix(std::int64_t recordPosition);
    void AdjustOffsets();
    // Counts what the directory being read holds in memory; false once that passes its bound.
    bool Keep(std::uint64_t bytes);

    std::vector<bool> overlapping_;       // per entry; empty until DataOverlapsAnother first needs it
    std::vector<std::uint8_t> scanChunk_; // the chunk the signature search read last
    std::int64_t scanStart_ = -1;
    std::int64_t descriptorFrom_ = -1; // the last data descriptor search: its start and its result
    std::int64_t descriptorHit_ = -1;
    std::uint64_t kept_ = 0; // bytes the directory being read holds, as Keep counts them
    std::uint64_t keepLimit_ = 0;
};

} // namespace pc
