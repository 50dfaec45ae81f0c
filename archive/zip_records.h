// The ZIP records the component reads, as laid out in the file (all integers little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pc {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064B50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kUnicodeNameExtraId = 0x554E;
constexpr std::uint16_t kInfoZipUnicodePathId = 0x7075;
constexpr std::uint16_t kExtendedTimestampId = 0x5455;
constexpr std::uint32_t kUnicodeNameSignature = 0x5843554E; // the bytes "NUCX"

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8Names = 0x0800;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;

inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t GetU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(GetU32(p)) | (static_cast<std::uint64_t>(GetU32(p + 4)) << 32);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    PutU16(p, static_cast<std::uint16_t>(v));
    PutU16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void PutU64(std::uint8_t* p, std::uint64_t v) {
    PutU32(p, static_cast<std::uint32_t>(v));
    PutU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// End-of-central-directory record: 22 bytes, then the archive comment.
struct TZAEndRecord {
    static constexpr std::size_t kSize = 22;
    std::uint32_t Signature = 0;
    std::uint16_t ThisDisk = 0;
    std::uint16_t DirectoryDisk = 0;
    std::uint16_t EntriesOnDisk = 0;
    std::uint16_t TotalEntries = 0;
    std::uint32_t DirectorySize = 0;
    std::uint32_t DirectoryOffset = 0;
    std::uint16_t CommentLength = 0;

    static TZAEndRecord Parse(const std::uint8_t* p);
    void Store(std::uint8_t* p) const;
};

// Zip64 end-of-central-directory locator: 20 bytes directly before the end record.
struct TZAZip64Locator {
    static constexpr std::size_t kSize = 20;
    std::uint32_t Signature = 0;
    std::uint32_t EndRecordDisk = 0;
    std::uint64_t EndRecordOffset = 0;
    std::uint32_t TotalDisks = 0;

    static TZAZip64Locator Parse(const std::uint8_t* p);
    void Store(std::uint8_t* p) const;
};

// Zip64 end-of-central-directory record: the first 56 bytes.
struct TZAZip64EndRecord {
    static constexpr std::size_t kSize = 56;
    std::uint32_t Signature = 0;
    std::uint64_t RecordSize = 0;
    std::uint16_t VersionMadeBy = 0;
    std::uint16_t VersionNeeded = 0;
    std::uint32_t ThisDisk = 0;
    std::uint32_t DirectoryDisk = 0;
    std::uint64_t EntriesOnDisk = 0;
    std::uint64_t TotalEntries = 0;
    std::uint64_t DirectorySize = 0;
    std::uint64_t DirectoryOffset = 0;

    static TZAZip64EndRecord Parse(const std::uint8_t* p);
    void Store(std::uint8_t* p) const;
};

// Local file header: 30 bytes, then name and extra blocks.
struct TZALocalHeader {
    static constexpr std::size_t kSize = 30;
    std::uint32_t Signature = 0;
    std::uint16_t VersionNeeded = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t ModTime = 0;
    std::uint16_t ModDate = 0;
    std::uint32_t Crc32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t NameLength = 0;
    std::uint16_t ExtraLength = 0;

    static TZALocalHeader Parse(const std::uint8_t* p);
    void Store(std::uint8_t* p) const;
};

// Data descriptor with its optional signature, as the recovery path looks for it: 16 bytes.
struct TZADataDescriptor {
    static constexpr std::size_t kSize = 16;
    std::uint32_t Signature = 0;
    std::uint32_t Crc32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;

    static TZADataDescriptor Parse(const std::uint8_t* p);
};

// Central file header: 46 bytes, then name, extra blocks and comment.
struct TZACentralHeader {
    static constexpr std::size_t kSize = 46;
    std::uint32_t Signature = 0;
    std::uint16_t VersionMadeBy = 0;
    std::uint16_t VersionNeeded = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t ModTime = 0;
    std::uint16_t ModDate = 0;
    std::uint32_t Crc32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t NameLength = 0;
    std::uint16_t ExtraLength = 0;
    std::uint16_t CommentLength = 0;
    std::uint16_t DiskStart = 0;
    std::uint16_t InternalAttr = 0;
    std::uint32_t ExternalAttr = 0;
    std::uint32_t LocalHeaderOffset = 0;

    static TZACentralHeader Parse(const std::uint8_t* p);
    void Store(std::uint8_t* p) const;
};

} // namespace pc
