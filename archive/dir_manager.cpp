#include "archive/dir_manager.h"

#include "archive/code_pages.h"
#include "archive/za_exception.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include <zlib.h>

namespace pc {
namespace {

constexpr std::int64_t kEndRecordWindow = 65600; // the record plus the longest possible comment
constexpr std::int64_t kRecoveryChunk = 65535;
constexpr std::int64_t kPrefixChunk = 10000;
constexpr std::uint16_t kMaxRecoveredExtraLength = 260;
// What the directory of an archive may hold in memory: a small multiple of the file, plus room for the
// entries of a small one. A file whose records claim more is not an archive that can be read.
constexpr std::uint64_t kKeepFactor = 3;
constexpr std::uint64_t kKeepAllowance = 32u << 20;

// What one entry holds in memory: the record, its name twice (the entry's and the index's lower-cased
// key, UTF-16), its comment and extra blocks, and its place in the index.
std::uint64_t KeptBy(const TDirItem& item) {
    std::uint64_t bytes = sizeof(TDirItem) + sizeof(std::u16string) + 2 * sizeof(std::int32_t) +
                          4 * item.Name.size() + item.Comment.size();
    return bytes + item.ExtraFields.ByteSize();
}

std::vector<std::uint8_t> ReadAt(TStream& stream, std::int64_t position, std::int64_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    stream.SetPosition(position);
    stream.ReadBuffer(bytes.data(), count);
    return bytes;
}

// Info-ZIP's Unicode Path block: version 1, the CRC-32 of the stored name it stands for, then the name in
// UTF-8. A CRC that does not match means the stored name was changed after the block was written.
std::optional<std::u16string> InfoZipUnicodePath(const std::uint8_t* data, std::size_t size,
                                                 const std::string& rawName) {
    if (size < 5 || data[0] != 1)
        return std::nullopt;
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(rawName.data()), static_cast<uInt>(rawName.size())));
    if (GetU32(data + 1) != crc)
        return std::nullopt;
    const std::string_view utf8(reinterpret_cast<const char*>(data) + 5, size - 5);
    if (utf8.empty() || !IsValidUtf8(utf8))
        return std::nullopt;
    return Utf8ToWide(utf8);
}

} // namespace

// Reads the central directory front to back through one buffer instead of one system call per field.
class TSequentialReader {
public:
    TSequentialReader(TStream& stream, std::int64_t position) : stream_(stream), position_(position) {}

    std::int64_t Position() const { return position_; }

    // Exactly count bytes, or EReadError.
    void Read(void* out, std::int64_t count) {
        auto* target = static_cast<std::uint8_t*>(out);
        while (count > 0) {
            const std::int64_t offset = position_ - bufferStart_;
            const auto available = static_cast<std::int64_t>(buffer_.size()) - offset;
            if (offset < 0 || available <= 0) {
                Fill();
                continue;
            }
            const std::int64_t n = std::min(count, available);
            std::copy_n(buffer_.data() + offset, n, target);
            target += n;
            position_ += n;
            count -= n;
        }
    }

private:
    void Fill() {
        buffer_.resize(kBufferSize);
        stream_.SetPosition(position_);
        const std::int64_t got = stream_.Read(buffer_.data(), kBufferSize);
        buffer_.resize(static_cast<std::size_t>(got));
        bufferStart_ = position_;
        if (got == 0)
            throw EReadError("Stream read error");
    }

    static constexpr std::int64_t kBufferSize = 65536;
    TStream& stream_;
    std::int64_t position_;
    std::int64_t bufferStart_ = 0;
    std::vector<std::uint8_t> buffer_;
};

namespace {

void SignatureBytes(std::uint32_t signature, std::uint8_t (&out)[4]) {
    PutU32(out, signature);
}

} // namespace

TZADirManager::TZADirManager(TStream& stream) : Stream(stream) {
    ResetEndRecord();
    Items.Clear();
}

void TZADirManager::ResetEndRecord() {
    EndRecord = TZAEndRecord();
    EndRecord.Signature = kEndRecordSignature;
    Zip64Locator = TZAZip64Locator();
    Zip64EndRecord = TZAZip64EndRecord();
    IsZip64 = false;
    PrefixSize = 0;
}

std::int64_t TZADirManager::FindEndRecord(std::uint32_t signature) {
    FoundRecord = TZAEndRecord();
    Comment.clear();
    const std::int64_t size = Stream.Size();
    if (size < static_cast<std::int64_t>(TZAEndRecord::kSize))
        return -1;
    const std::int64_t window = std::min(size, kEndRecordWindow);
    const std::int64_t base = size - window;
    std::vector<std::uint8_t> tail = ReadAt(Stream, base, window);
    std::uint8_t sig[4];
    SignatureBytes(signature, sig);

    // Nearest to the end first: a candidate that `accept`s is taken, with its comment.
    auto search = [&](auto accept) -> std::int64_t {
        for (std::int64_t i = window - 1; i >= 3; --i) {
            const std::uint8_t* at = tail.data() + i - 3;
            if (at[3] != sig[3] || at[2] != sig[2] || at[1] != sig[1] || at[0] != sig[0])
                continue;
            const std::int64_t p = base + i - 3;
            if (size - p < static_cast<std::int64_t>(TZAEndRecord::kSize))
                continue;
            TZAEndRecord record = TZAEndRecord::Parse(at);
            const std::int64_t room = size - p - static_cast<std::int64_t>(TZAEndRecord::kSize);
            if (!accept(p, record, room))
                continue;
            FoundRecord = record;
            if (record.CommentLength > 0)
                Comment.assign(reinterpret_cast<const char*>(at) + TZAEndRecord::kSize, record.CommentLength);
            return p;
        }
        return -1;
    };
    // Only the record that exactly its comment follows is the real one; anything else is data.
    const std::int64_t exact = search([](std::int64_t, const TZAEndRecord& record, std::int64_t room) {
        return room == record.CommentLength;
    });
    if (exact >= 0)
        return exact;
    // Bytes appended after the archive (a pipe's block padding, an upload tool's trailer) leave the real
    // record in place: the nearest one whose comment fits and whose directory is where it says is taken.
    return search([&](std::int64_t p, const TZAEndRecord& record, std::int64_t room) {
        return room >= record.CommentLength && DirectoryChecksOut(p, record);
    });
}

bool TZADirManager::DirectoryChecksOut(std::int64_t recordPosition, const TZAEndRecord& record) {
    std::int64_t p = recordPosition;
    std::int64_t directorySize = record.DirectorySize;
    std::uint64_t entries = record.TotalEntries;
    if (p >= static_cast<std::int64_t>(TZAZip64Locator::kSize)) {
        std::vector<std::uint8_t> bytes = ReadAt(Stream, p - TZAZip64Locator::kSize, TZAZip64Locator::kSize);
        const TZAZip64Locator locator = TZAZip64Locator::Parse(bytes.data());
        if (locator.Signature == kZip64LocatorSignature) {
            const auto at = static_cast<std::int64_t>(locator.EndRecordOffset);
            if (locator.EndRecordOffset > static_cast<std::uint64_t>(p) ||
                p - at < static_cast<std::int64_t>(TZAZip64EndRecord::kSize))
                return false;
            bytes = ReadAt(Stream, at, TZAZip64EndRecord::kSize);
            const TZAZip64EndRecord zip64 = TZAZip64EndRecord::Parse(bytes.data());
            if (zip64.Signature != kZip64EndRecordSignature ||
                zip64.DirectorySize > static_cast<std::uint64_t>(at))
                return false;
            p = at;
            directorySize = static_cast<std::int64_t>(zip64.DirectorySize);
            entries = zip64.TotalEntries;
        }
    }
    if (directorySize > p)
        return false;
    if (entries == 0)
        return directorySize == 0;
    if (directorySize < static_cast<std::int64_t>(TZACentralHeader::kSize))
        return false;
    std::uint8_t head[4];
    Stream.SetPosition(p - directorySize);
    Stream.ReadBuffer(head, sizeof head);
    return GetU32(head) == kCentralHeaderSignature;
}

bool TZADirManager::Keep(std::uint64_t bytes) {
    kept_ += bytes;
    return kept_ <= keepLimit_;
}

void TZADirManager::LoadDirectory(const TZALoadOptions& options) {
    overlapping_.clear();
    scanChunk_.clear();
    scanStart_ = -1;
    descriptorFrom_ = -1;
    Items.Clear();
    ResetEndRecord();
    LastVolume = 0;
    DirectoryStart = 0;
    keepLimit_ =
        kKeepFactor * static_cast<std::uint64_t>(std::max<std::int64_t>(Stream.Size(), 0)) + kKeepAllowance;

    std::int64_t p = FindEndRecord();
    if (p < 0) {
        RecoverFromLocalHeaders(options);
        return;
    }
    EndRecord = FoundRecord;

    if (p > static_cast<std::int64_t>(TZAZip64Locator::kSize)) {
        std::vector<std::uint8_t> bytes = ReadAt(Stream, p - TZAZip64Locator::kSize, TZAZip64Locator::kSize);
        TZAZip64Locator locator = TZAZip64Locator::Parse(bytes.data());
        if (locator.Signature == kZip64LocatorSignature) {
            Zip64Locator = locator;
            IsZip64 = true;
            p -= TZAZip64Locator::kSize;
        }
    }
    if (IsZip64) {
        if (p <= static_cast<std::int64_t>(TZAZip64EndRecord::kSize))
            throw EZAException(neZip64EndRecordMissing);
        const std::uint64_t size = static_cast<std::uint64_t>(Stream.Size());
        if (Zip64Locator.EndRecordOffset > size ||
            size - Zip64Locator.EndRecordOffset < TZAZip64EndRecord::kSize)
            throw EReadError("Stream read error");
        std::vector<std::uint8_t> bytes =
            ReadAt(Stream, static_cast<std::int64_t>(Zip64Locator.EndRecordOffset), TZAZip64EndRecord::kSize);
        Zip64EndRecord = TZAZip64EndRecord::Parse(bytes.data());
        if (Zip64EndRecord.Signature != kZip64EndRecordSignature)
            throw EZAException(neZip64EndRecordMissing);
        p -= TZAZip64EndRecord::kSize;
    }

    if (!IsZip64 && EndRecord.TotalEntries == 0xFFFF) {
        RecoverFromLocalHeaders(options); // a full 16-bit count is taken as a sign of damage
        return;
    }

    if (EndRecord.ThisDisk == 0xFFFF)
        LastVolume = IsZip64 ? static_cast<std::int32_t>(Zip64Locator.TotalDisks) - 1 : 0;
    else
        LastVolume = EndRecord.ThisDisk;
    // Volume sets are not supported: refuse them rather than read a directory that lives elsewhere.
    if (LastVolume != 0)
        throw EZAException(neMultiVolume);

    if (!ReadCentralDirectory(p, options))
        return; // rebuilt from the local headers, whose offsets are already absolute

    if (!options.RecoverDamagedArchives) {
        std::uint64_t total = 0;
        for (std::int32_t i = 0; i < Items.Count(); ++i)
            total += Items.Item(i).CompressedSize;
        if (total > static_cast<std::uint64_t>(Stream.Size()))
            throw EZAException(neSizesExceedFile);
    }
    DetectPrefix(p);
    AdjustOffsets();
}

bool TZADirManager::ReadCentralDirectory(std::int64_t recordPosition, const TZALoadOptions& options) {
    try {
        const std::int64_t directorySize = IsZip64 ? static_cast<std::int64_t>(Zip64EndRecord.DirectorySize)
                                                   : static_cast<std::int32_t>(EndRecord.DirectorySize);
        // A directory that would start before the file is as unreadable as one that runs past its end.
        if (directorySize < 0 || directorySize > recordPosition)
            throw EReadError("Stream read error");
        const std::int64_t start = recordPosition - directorySize;
        const std::uint64_t count =
            IsZip64 ? (Zip64EndRecord.TotalEntries & 0xFFFFFFFFu) : EndRecord.TotalEntries;
        // Every entry takes at least one fixed-size header: a count the file cannot hold is a lie, and is
        // refused before anything is allocated for it.
        if (count > static_cast<std::uint64_t>(Stream.Size() - start) / TZACentralHeader::kSize)
            throw EReadError("Stream read error");
        kept_ = 0;
        if (!Keep(count * (sizeof(TDirItem) + sizeof(std::u16string))))
            throw EReadError("Stream read error");
        kept_ = 0;
        TSequentialReader reader(Stream, start);
        Items.SetCount(static_cast<std::int32_t>(count));
        for (std::int32_t i = 0; i < Items.Count(); ++i) {
            if (i == 0)
                DirectoryStart = reader.Position();
            ReadEntry(i, options, reader);
            // Names, comments and extra blocks beyond what the file could stand for: read as damage.
            if (!Keep(KeptBy(Items.Item(i))))
                throw EReadError("Stream read error");
        }
    } catch (const Exception&) {
        if (!options.RecoverDamagedArchives)
            throw;
        Items.Clear();
        RecoverFromLocalHeaders(options);
        return false;
    }
    return true;
}

void TZADirManager::ReadEntry(std::int32_t i, const TZALoadOptions& options, TSequentialReader& reader) {
    std::uint8_t head[TZACentralHeader::kSize];
    reader.Read(head, sizeof head);
    TDirItem& item = Items.Item(i);
    static_cast<TZACentralHeader&>(item) = TZACentralHeader::Parse(head);

    std::string raw(item.NameLength, '\0');
    reader.Read(raw.data(), item.NameLength);
    Items.SetItemName(i, DecodeEntryName(raw, item.Flags, item.VersionMadeBy, options.OEMFileNames));

    bool ownUnicodeName = false; // the component's own Unicode-name block wins over Info-ZIP's
    std::int64_t consumed = 0;
    item.ExtraFields.reserve(item.ExtraLength); // the blocks kept never take more than the area
    while (consumed < item.ExtraLength) {
        std::int64_t remaining = item.ExtraLength - consumed;
        if (remaining < 4) {
            // Too short for a block head: skip the stray bytes so that the comment is read from its place.
            std::uint8_t stray[4];
            reader.Read(stray, remaining);
            break;
        }
        std::uint8_t blockHead[4];
        reader.Read(blockHead, 4);
        consumed += 4;
        const std::uint16_t headerId = GetU16(blockHead);
        std::uint16_t dataSize = GetU16(blockHead + 2);
        if (dataSize > item.ExtraLength - consumed)
            dataSize = static_cast<std::uint16_t>(item.ExtraLength - consumed);
        std::uint8_t* const data = item.ExtraFields.AppendSpace(headerId, dataSize);
        reader.Read(data, dataSize);
        consumed += dataSize;

        const std::size_t size = dataSize;
        if (headerId == kZip64ExtraId) {
            std::size_t at = 0;
            if (item.UncompressedSize == 0xFFFFFFFFu && at + 8 <= size) {
                item.Zip64UncompressedSize = GetU64(data + at);
                at += 8;
            }
            if (item.CompressedSize == 0xFFFFFFFFu && at + 8 <= size) {
                item.Zip64CompressedSize = GetU64(data + at);
                at += 8;
            }
            if (item.LocalHeaderOffset == 0xFFFFFFFFu && at + 8 <= size) {
                item.Zip64LocalHeaderOffset = GetU64(data + at);
                at += 8;
            }
            if (item.DiskStart == 0xFFFF && at + 4 <= size)
                item.Zip64DiskStart = GetU32(data + at) & 0xFFFF;
            item.HasZip64Info = true;
        } else if (headerId == kUnicodeNameExtraId) {
            TUnicodeExtendedInfo info;
            if (info.Parse(data, size)) {
                Items.SetItemName(i, info.Name);
                ownUnicodeName = true;
            }
        } else if (headerId == kInfoZipUnicodePathId && !ownUnicodeName) {
            if (auto name = InfoZipUnicodePath(data, size, raw))
                Items.SetItemName(i, *name);
        }
    }

    if (item.CommentLength > 0) {
        item.Comment.assign(item.CommentLength, '\0');
        reader.Read(item.Comment.data(), item.CommentLength);
    }
}

std::int64_t TZADirManager::FindSignature(std::uint32_t signature, std::int64_t from, std::int64_t chunkSize,
                                          std::int64_t minimumFollowing) {
    const std::int64_t size = Stream.Size();
    std::uint8_t sig[4];
    SignatureBytes(signature, sig);
    // Searches continue one after another through the same region; the chunk read last is scanned again
    // from memory, so that a file full of signatures costs one pass and not one chunk read per hit.
    for (std::int64_t position = std::max<std::int64_t>(from, 0); position + 4 <= size;) {
        const auto buffered = static_cast<std::int64_t>(scanChunk_.size());
        if (scanStart_ < 0 || position < scanStart_ || position + 4 > scanStart_ + buffered) {
            scanChunk_ = ReadAt(Stream, position, std::min(chunkSize, size - position));
            scanStart_ = position;
        }
        const auto length = static_cast<std::int64_t>(scanChunk_.size());
        for (std::int64_t i = position - scanStart_; i + 4 <= length; ++i) {
            const std::uint8_t* at = scanChunk_.data() + i;
            if (at[0] == sig[0] && at[1] == sig[1] && at[2] == sig[2] && at[3] == sig[3] &&
                size - (scanStart_ + i) >= minimumFollowing)
                return scanStart_ + i;
        }
        if (scanStart_ + length >= size)
            break;
        position =
            scanStart_ + length - 3; // the next chunk overlaps so that a signature across the seam is seen
    }
    return -1;
}

std::int64_t TZADirManager::FindDescriptor(std::int64_t from) {
    // The first descriptor at or after an earlier start is also the first one after any later start that
    // does not pass it: entries without a descriptor do not each scan the rest of the file.
    if (descriptorFrom_ >= 0 && from >= descriptorFrom_ && (descriptorHit_ < 0 || from <= descriptorHit_))
        return descriptorHit_;
    descriptorFrom_ = from;
    descriptorHit_ = FindSignature(kDataDescriptorSignature, from, kRecoveryChunk, TZADataDescriptor::kSize);
    return descriptorHit_;
}

void TZADirManager::RecoverFromLocalHeaders(const TZALoadOptions& options) {
    Items.Clear();
    if (options.MultiVolume)
        throw EZAException(neMultiVolume);
    const std::int64_t size = Stream.Size();
    std::int64_t q = FindSignature(kLocalHeaderSignature, 0, kRecoveryChunk, TZALocalHeader::kSize);
    if (q < 0)
        throw EZAException(neInvalidArchive);

    kept_ = 0;
    while (q >= 0) {
        // The next header bounds this one's name: a name that ran into it would take the headers after it
        // as its text, and a file of overlapping headers would then hold its own size many times over.
        const std::int64_t next =
            FindSignature(kLocalHeaderSignature, q + 4, kRecoveryChunk, TZALocalHeader::kSize);
        const std::int64_t nameRoom = next >= 0 ? next : size;
        std::vector<std::uint8_t> bytes = ReadAt(Stream, q, TZALocalHeader::kSize);
        TZALocalHeader local = TZALocalHeader::Parse(bytes.data());
        if (local.CompressedSize < size && local.ExtraLength <= kMaxRecoveredExtraLength) {
            const std::int32_t n = Items.Count();
            Items.SetCount(n + 1);
            TDirItem& item = Items.Item(n);
            item.Signature = local.Signature;
            item.VersionNeeded = local.VersionNeeded;
            item.VersionMadeBy = local.VersionNeeded;
            item.Flags = local.Flags;
            item.Method = local.Method;
            item.ModTime = local.ModTime;
            item.ModDate = local.ModDate;
            item.Crc32 = local.Crc32;
            item.CompressedSize = local.CompressedSize;
            item.UncompressedSize = local.UncompressedSize;
            item.NameLength = local.NameLength;
            item.ExtraLength = local.ExtraLength;
            // An empty entry without a data descriptor can only be a directory.
            const bool hasData = local.UncompressedSize != 0 || (local.Flags & kFlagDataDescriptor) != 0;
            item.ExternalAttr = hasData ? kAttrArchive : kAttrDirectory;
            if (q < 0xFFFFFFFF) {
                item.LocalHeaderOffset = static_cast<std::uint32_t>(q);
            } else {
                item.LocalHeaderOffset = 0xFFFFFFFFu; // beyond 4 GiB the offset needs its 64-bit form
                item.Zip64LocalHeaderOffset = static_cast<std::uint64_t>(q);
                item.HasZip64Info = true;
            }
            const std::int64_t nameStart = q + static_cast<std::int64_t>(TZALocalHeader::kSize);
            if (nameRoom - nameStart >= local.NameLength) {
                std::string raw(local.NameLength, '\0');
                Stream.SetPosition(nameStart);
                Stream.ReadBuffer(raw.data(), local.NameLength);
                Items.SetItemName(
                    n, DecodeEntryName(raw, local.Flags, item.VersionMadeBy, options.OEMFileNames));
            }
            if (local.Flags & kFlagDataDescriptor) {
                std::int64_t d = FindDescriptor(q);
                if (d >= 0) {
                    std::vector<std::uint8_t> raw = ReadAt(Stream, d, TZADataDescriptor::kSize);
                    TZADataDescriptor descriptor = TZADataDescriptor::Parse(raw.data());
                    item.Crc32 = descriptor.Crc32;
                    item.CompressedSize = descriptor.CompressedSize;
                    item.UncompressedSize = descriptor.UncompressedSize;
                } else {
                    item.SizeUnknown = true;
                }
            }
            if (!Keep(KeptBy(item)))
                throw EZAException(neInvalidArchive);
        }
        q = next;
    }
    // Signatures that are all stray bytes make no archive, no more than none at all.
    if (Items.Count() == 0)
        throw EZAException(neInvalidArchive);
    DirectoryStart = size;
}

void TZADirManager::DetectPrefix(std::int64_t recordPosition) {
    if (Items.Count() == 0) {
        PrefixSize = recordPosition;
        return;
    }
    const TDirItem& first = Items.Item(0);
    const std::int64_t size = Stream.Size();
    const std::uint64_t firstOffset = first.FullLocalHeaderOffset();
    if (firstOffset >= static_cast<std::uint64_t>(size))
        return;
    std::int64_t position = static_cast<std::int64_t>(firstOffset);
    while (position < size) {
        std::int64_t hit = FindSignature(kLocalHeaderSignature, position, kPrefixChunk, 0);
        if (hit < 0)
            return;
        bool valid = false;
        if (size - hit >= static_cast<std::int64_t>(TZALocalHeader::kSize)) {
            std::vector<std::uint8_t> bytes = ReadAt(Stream, hit, TZALocalHeader::kSize);
            TZALocalHeader local = TZALocalHeader::Parse(bytes.data());
            valid = size - hit - static_cast<std::int64_t>(TZALocalHeader::kSize) >= local.NameLength &&
                    local.Signature == kLocalHeaderSignature;
            if (valid && hit != 0) {
                // A header written before its data was known (data descriptor) carries zero CRC and sizes.
                const bool deferred = (local.Flags & kFlagDataDescriptor) != 0;
                valid = local.VersionNeeded == first.VersionNeeded && local.Method == first.Method &&
                        local.ModTime == first.ModTime && local.ModDate == first.ModDate &&
                        (deferred ||
                         (local.Crc32 == first.Crc32 && local.CompressedSize == first.CompressedSize &&
                          local.UncompressedSize == first.UncompressedSize));
            }
        }
        if (valid) {
            PrefixSize = hit;
            return;
        }
        position = hit + 1;
    }
}

void TZADirManager::AdjustOffsets() {
    std::int32_t k = 0;
    while (k < Items.Count() && Items.Item(k).CompressedSize == 0)
        ++k;
    if (k == Items.Count() || Items.Item(k).LocalHeaderOffset >= PrefixSize)
        return;
    for (std::int32_t i = 0; i < Items.Count(); ++i) {
        TDirItem& item = Items.Item(i);
        if (item.ExternalAttr & kAttrDirectory)
            continue;
        // The escape value stands for the 64-bit offset, and a sum past 32 bits cannot be a real offset of a
        // file whose offsets fit 32 bits: both stay as stored.
        const std::uint64_t shifted =
            static_cast<std::uint64_t>(item.LocalHeaderOffset) + static_cast<std::uint64_t>(PrefixSize);
        if (item.LocalHeaderOffset != 0xFFFFFFFFu && shifted < 0xFFFFFFFFu)
            item.LocalHeaderOffset = static_cast<std::uint32_t>(shifted);
    }
}

std::pair<std::int64_t, std::int64_t> TZADirManager::StoredRange(std::int32_t i) {
    const TDirItem& item = Items.Item(i);
    const std::int64_t size = Stream.Size();
    const std::uint64_t offset = item.FullLocalHeaderOffset();
    if (offset >= static_cast<std::uint64_t>(size))
        return {size, size};
    const auto start = static_cast<std::int64_t>(offset);
    if (size - start < static_cast<std::int64_t>(TZALocalHeader::kSize))
        return {start, size};
    std::vector<std::uint8_t> bytes = ReadAt(Stream, start, TZALocalHeader::kSize);
    const TZALocalHeader local = TZALocalHeader::Parse(bytes.data());
    const std::int64_t dataStart = std::min(size, start + static_cast<std::int64_t>(TZALocalHeader::kSize) +
                                                      local.NameLength + local.ExtraLength);
    // As extraction reads it: never past the start of the central directory.
    const std::int64_t room = std::max<std::int64_t>(0, DirectoryStart - dataStart);
    const std::uint64_t data =
        std::min<std::uint64_t>(item.FullCompressedSize(), static_cast<std::uint64_t>(room));
    return {start, dataStart + static_cast<std::int64_t>(data)};
}

bool TZADirManager::DataOverlapsAnother(std::int32_t i) {
    if (overlapping_.size() != static_cast<std::size_t>(Items.Count())) {
        // Asked in the middle of reading an entry: the stream is left where it stood.
        const std::int64_t position = Stream.Position();
        // Sorted by start, an entry overlaps an earlier one when it starts before the furthest end seen so
        // far, and a later one when the next start lies before its own end.
        struct Range {
            std::int64_t start, end;
            std::int32_t index;
        };
        std::vector<Range> ranges;
        ranges.reserve(static_cast<std::size_t>(Items.Count()));
        for (std::int32_t k = 0; k < Items.Count(); ++k) {
            // Directories and nameless entries are never read, and a directory's offset is not moved
            // past a prefix: they claim no bytes.
            const TDirItem& item = Items.Item(k);
            const bool directory =
                (item.ExternalAttr & kAttrDirectory) != 0 ||
                (!item.Name.empty() && (item.Name.back() == u'/' || item.Name.back() == u'\\'));
            if (directory || item.Name.empty())
                continue;
            const auto [start, end] = StoredRange(k);
            if (end > start)
                ranges.push_back({start, end, k});
        }
        std::sort(ranges.begin(), ranges.end(),
                  [](const Range& a, const Range& b) { return a.start < b.start; });
        overlapping_.assign(static_cast<std::size_t>(Items.Count()), false);
        std::int64_t furthest = -1;
        for (std::size_t k = 0; k < ranges.size(); ++k) {
            const bool earlier = ranges[k].start < furthest;
            const bool later = k + 1 < ranges.size() && ranges[k + 1].start < ranges[k].end;
            if (earlier || later)
                overlapping_[static_cast<std::size_t>(ranges[k].index)] = true;
            furthest = std::max(furthest, ranges[k].end);
        }
        Stream.SetPosition(position);
    }
    return i >= 0 && i < Items.Count() && overlapping_[static_cast<std::size_t>(i)];
}

void TZADirManager::SaveEmptyDirectory() {
    TZAEndRecord record;
    record.Signature = kEndRecordSignature;
    std::uint8_t bytes[TZAEndRecord::kSize];
    record.Store(bytes);
    Stream.Seek(0, TSeekOrigin::soEnd);
    Stream.WriteBuffer(bytes, sizeof bytes);
}

} // namespace pc
