#include "archive/zip_records.h"

namespace pc {

TZAEndRecord TZAEndRecord::Parse(const std::uint8_t* p) {
    TZAEndRecord r;
    r.Signature = GetU32(p);
    r.ThisDisk = GetU16(p + 4);
    r.DirectoryDisk = GetU16(p + 6);
    r.EntriesOnDisk = GetU16(p + 8);
    r.TotalEntries = GetU16(p + 10);
    r.DirectorySize = GetU32(p + 12);
    r.DirectoryOffset = GetU32(p + 16);
    r.CommentLength = GetU16(p + 20);
    return r;
}

void TZAEndRecord::Store(std::uint8_t* p) const {
    PutU32(p, Signature);
    PutU16(p + 4, ThisDisk);
    PutU16(p + 6, DirectoryDisk);
    PutU16(p + 8, EntriesOnDisk);
    PutU16(p + 10, TotalEntries);
    PutU32(p + 12, DirectorySize);
    PutU32(p + 16, DirectoryOffset);
    PutU16(p + 20, CommentLength);
}

TZAZip64Locator TZAZip64Locator::Parse(const std::uint8_t* p) {
    TZAZip64Locator r;
    r.Signature = GetU32(p);
    r.EndRecordDisk = GetU32(p + 4);
    r.EndRecordOffset = GetU64(p + 8);
    r.TotalDisks = GetU32(p + 16);
    return r;
}

void TZAZip64Locator::Store(std::uint8_t* p) const {
    PutU32(p, Signature);
    PutU32(p + 4, EndRecordDisk);
    PutU64(p + 8, EndRecordOffset);
    PutU32(p + 16, TotalDisks);
}

TZAZip64EndRecord TZAZip64EndRecord::Parse(const std::uint8_t* p) {
    TZAZip64EndRecord r;
    r.Signature = GetU32(p);
    r.RecordSize = GetU64(p + 4);
    r.VersionMadeBy = GetU16(p + 12);
    r.VersionNeeded = GetU16(p + 14);
    r.ThisDisk = GetU32(p + 16);
    r.DirectoryDisk = GetU32(p + 20);
    r.EntriesOnDisk = GetU64(p + 24);
    r.TotalEntries = GetU64(p + 32);
    r.DirectorySize = GetU64(p + 40);
    r.DirectoryOffset = GetU64(p + 48);
    return r;
}

void TZAZip64EndRecord::Store(std::uint8_t* p) const {
    PutU32(p, Signature);
    PutU64(p + 4, RecordSize);
    PutU16(p + 12, VersionMadeBy);
    PutU16(p + 14, VersionNeeded);
    PutU32(p + 16, ThisDisk);
    PutU32(p + 20, DirectoryDisk);
    PutU64(p + 24, EntriesOnDisk);
    PutU64(p + 32, TotalEntries);
    PutU64(p + 40, DirectorySize);
    PutU64(p + 48, DirectoryOffset);
}

TZALocalHeader TZALocalHeader::Parse(const std::uint8_t* p) {
    TZALocalHeader r;
    r.Signature = GetU32(p);
    r.VersionNeeded = GetU16(p + 4);
    r.Flags = GetU16(p + 6);
    r.Method = GetU16(p + 8);
    r.ModTime = GetU16(p + 10);
    r.ModDate = GetU16(p + 12);
    r.Crc32 = GetU32(p + 14);
    r.CompressedSize = GetU32(p + 18);
    r.UncompressedSize = GetU32(p + 22);
    r.NameLength = GetU16(p + 26);
    r.ExtraLength = GetU16(p + 28);
    return r;
}

void TZALocalHeader::Store(std::uint8_t* p) const {
    PutU32(p, Signature);
    PutU16(p + 4, VersionNeeded);
    PutU16(p + 6, Flags);
    PutU16(p + 8, Method);
    PutU16(p + 10, ModTime);
    PutU16(p + 12, ModDate);
    PutU32(p + 14, Crc32);
    PutU32(p + 18, CompressedSize);
    PutU32(p + 22, UncompressedSize);
    PutU16(p + 26, NameLength);
    PutU16(p + 28, ExtraLength);
}

TZADataDescriptor TZADataDescriptor::Parse(const std::uint8_t* p) {
    TZADataDescriptor r;
    r.Signature = GetU32(p);
    r.Crc32 = GetU32(p + 4);
    r.CompressedSize = GetU32(p + 8);
    r.UncompressedSize = GetU32(p + 12);
    return r;
}

TZACentralHeader TZACentralHeader::Parse(const std::uint8_t* p) {
    TZACentralHeader r;
    r.Signature = GetU32(p);
    r.VersionMadeBy = GetU16(p + 4);
    r.VersionNeeded = GetU16(p + 6);
    r.Flags = GetU16(p + 8);
    r.Method = GetU16(p + 10);
    r.ModTime = GetU16(p + 12);
    r.ModDate = GetU16(p + 14);
    r.Crc32 = GetU32(p + 16);
    r.CompressedSize = GetU32(p + 20);
    r.UncompressedSize = GetU32(p + 24);
    r.NameLength = GetU16(p + 28);
    r.ExtraLength = GetU16(p + 30);
    r.CommentLength = GetU16(p + 32);
    r.DiskStart = GetU16(p + 34);
    r.InternalAttr = GetU16(p + 36);
    r.ExternalAttr = GetU32(p + 38);
    r.LocalHeaderOffset = GetU32(p + 42);
    return r;
}

void TZACentralHeader::Store(std::uint8_t* p) const {
    PutU32(p, Signature);
    PutU16(p + 4, VersionMadeBy);
    PutU16(p + 6, VersionNeeded);
    PutU16(p + 8, Flags);
    PutU16(p + 10, Method);
    PutU16(p + 12, ModTime);
    PutU16(p + 14, ModDate);
    PutU32(p + 16, Crc32);
    PutU32(p + 20, CompressedSize);
    PutU32(p + 24, UncompressedSize);
    PutU16(p + 28, NameLength);
    PutU16(p + 30, ExtraLength);
    PutU16(p + 32, CommentLength);
    PutU16(p + 34, DiskStart);
    PutU16(p + 36, InternalAttr);
    PutU32(p + 38, ExternalAttr);
    PutU32(p + 42, LocalHeaderOffset);
}

} // namespace pc
