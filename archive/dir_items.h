// The in-memory directory of an open archive: entries, their case-insensitive name index, and the
// parser of the Unicode-name extra block.
#pragma once

#include "archive/zip_records.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

struct ExtraField {
    std::uint16_t HeaderId = 0;
    std::uint16_t DataSize = 0;
    std::vector<std::uint8_t> Data; // DataSize bytes
};

// One directory entry: the central header as stored, then what is kept in memory.
struct TDirItem : TZACentralHeader {
    std::u16string Name; // decoded, separators as stored
    std::string Comment; // raw bytes
    std::vector<ExtraField> ExtraFields;
    bool HasZip64Info = false;
    std::uint64_t Zip64UncompressedSize = 0;
    std::uint64_t Zip64CompressedSize = 0;
    std::uint64_t Zip64LocalHeaderOffset = 0;
    std::uint32_t Zip64DiskStart = 0;
    // Written by a processing run: selected for the running operation, and that operation's code.
    bool Selected = false;
    std::uint8_t Operation = 0;
    // Rebuilt from a local header that defers its sizes to a data descriptor that is not there.
    bool SizeUnknown = false;

    // The 64-bit values, taking the Zip64 ones where the 32-bit fields hold their escape value.
    std::uint64_t FullCompressedSize() const;
    std::uint64_t FullUncompressedSize() const;
    std::uint64_t FullLocalHeaderOffset() const;
};

// Chained hash of the name index: key -> list position. The keys are the list's own strings, not copies:
// the index of a large directory would otherwise hold every name twice. Keys are hashed with a keyed
// function whose key is drawn once per process, so no archive can be made whose names all share a chain.
class TZAStringHash {
public:
    TZAStringHash(std::size_t bucketCount, const std::vector<std::u16string>& keys);
    void Add(std::int32_t value);    // keys[value]; goes to the head of its chain
    void Remove(std::int32_t value); // while keys[value] is still the key it was added as
    std::int32_t ValueOf(const std::u16string& key) const; // the latest of equal keys; -1 when absent
    std::size_t BucketCount() const { return heads_.size(); }
    static std::uint64_t HashOf(std::u16string_view key);

private:
    const std::vector<std::u16string>& keys_;
    std::vector<std::int32_t> heads_; // per bucket the latest position added, -1 when empty
    std::vector<std::int32_t> next_;  // per position the one added before it in the same chain
};

// The lower-cased names, parallel to the entry array, with a lazily built hash.
class TZAHashedStringList {
public:
    std::int32_t Count() const { return static_cast<std::int32_t>(strings_.size()); }
    const std::u16string& operator[](std::int32_t i) const {
        return strings_.at(static_cast<std::size_t>(i));
    }
    std::int32_t Add(const std::u16string& s);
    void Put(std::int32_t i, const std::u16string& s);
    void Delete(std::int32_t i);
    void Clear();
    // Position of the exact string (the latest one added when several are equal), -1 when absent.
    std::int32_t IndexOf(const std::u16string& s);
    bool HashValid() const { return hash_ != nullptr; }
    std::size_t HashBucketCount() const { return hash_ ? hash_->BucketCount() : 0; }

private:
    std::vector<std::u16string> strings_;
    std::unique_ptr<TZAStringHash> hash_;
};

// The entry array with its name index. Index errors raise EZAException 1 (store), 2 (copying read),
// 3 (direct access) and 4 (delete).
class TZADirArray {
public:
    std::int32_t Count() const { return count_; }
    void SetCount(std::int32_t count);
    std::int32_t Allocated() const { return static_cast<std::int32_t>(items_.size()); }
    std::int32_t GrowthStep() const { return step_; }

    TDirItem Get(std::int32_t i) const; // copying read
    TDirItem& Item(std::int32_t i);     // direct access
    const TDirItem& Item(std::int32_t i) const;
    void Put(std::int32_t i, const TDirItem& item); // store a whole entry
    void Delete(std::int32_t i);
    void Clear();

    // Sets entry i's name through the name index; EZAException 59 when another entry holds the old key.
    void SetItemName(std::int32_t i, const std::u16string& name);
    // Case-insensitive lookup by name; of entries differing only in letter case, the later one.
    std::int32_t IndexOfName(const std::u16string& name);
    TZAHashedStringList& NameIndex() { return names_; }

private:
    std::vector<TDirItem> items_; // the allocation; items_.size() is the allocated count
    std::int32_t count_ = 0;
    std::int32_t step_ = 500;
    TZAHashedStringList names_;
};

// The Unicode-name extra block: "NUCX", a character count, then that many UTF-16LE code units. A count that
// runs past the block ends the name at the block's end.
class TUnicodeExtendedInfo {
public:
    // False (and nothing kept) unless the block is long enough for its head and carries the signature.
    bool Parse(const std::uint8_t* data, std::size_t size);
    std::uint32_t Signature = 0;
    std::u16string Name;
};

} // namespace pc
