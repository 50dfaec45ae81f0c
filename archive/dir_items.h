// The in-memory directory of an open archive: entries, their case-insensitive name index, and the
// parser of the Unicode-name extra block.
#pragma once

#include "archive/zip_records.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

struct ExtraField {
    std::uint16_t HeaderId = 0;
    std::uint16_t DataSize = 0;
    std::vector<std::uint8_t> Data; // DataSize bytes
};

// One extra block as kept by its entry: its data stays inside the entry's block store.
struct ExtraFieldView {
    std::uint16_t HeaderId = 0;
    std::uint16_t DataSize = 0;
    std::span<const std::uint8_t> Data; // DataSize bytes
};

// An entry's extra blocks, in order, kept as their heads and data in one allocation: an archive of a
// hundred thousand entries with two blocks each would otherwise cost three allocations per entry.
class TExtraFields {
public:
    class const_iterator {
    public:
        using value_type = ExtraFieldView;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        explicit const_iterator(const std::uint8_t* at) : at_(at) {}
        ExtraFieldView operator*() const;
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

    private:
        const std::uint8_t* at_ = nullptr;
    };

    // Reserves room for the blocks of an extra area of the given length (their heads included).
    void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
    void push_back(const ExtraField& field) { Append(field.HeaderId, field.Data.data(), field.Data.size()); }
    // Appends one block; its DataSize is the given size.
    void Append(std::uint16_t headerId, const std::uint8_t* data, std::size_t size);
    // Appends one block of the given size and returns where its data goes (valid until the next append).
    std::uint8_t* AppendSpace(std::uint16_t headerId, std::uint16_t size);
    bool empty() const { return bytes_.empty(); }
    std::size_t ByteSize() const { return bytes_.size(); } // the blocks with their heads
    std::size_t size() const;
    ExtraFieldView operator[](std::size_t i) const;
    const_iterator begin() const { return const_iterator(bytes_.data()); }
    const_iterator end() const { return const_iterator(bytes_.data() + bytes_.size()); }

private:
    std::vector<std::uint8_t> bytes_; // per block: ID (u16), size (u16), data
};

// An entry's comment: most entries have none, and then it costs one pointer.
class TEntryComment {
public:
    TEntryComment() = default;
    TEntryComment(const TEntryComment& other)
        : text_(other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr) {}
    TEntryComment(TEntryComment&&) noexcept = default;
    TEntryComment& operator=(const TEntryComment& other) {
        if (this != &other)
            text_ = other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
        return *this;
    }
    TEntryComment& operator=(TEntryComment&&) noexcept = default;

    void assign(std::size_t count, char c) {
        text_ = count ? std::make_unique<std::string>(count, c) : nullptr;
    }
    void assign(const char* text, std::size_t count) {
        text_ = count ? std::make_unique<std::string>(text, count) : nullptr;
    }
    char* data() { return text_ ? text_->data() : nullptr; }
    std::size_t size() const { return text_ ? text_->size() : 0; }
    bool empty() const { return size() == 0; }
    const std::string& str() const;
    operator const std::string&() const { return str(); }

private:
    std::unique_ptr<std::string> text_;
};

// One directory entry: the central header as stored, then what is kept in memory.
struct TDirItem : TZACentralHeader {
    std::u16string Name;   // decoded, separators as stored
    TEntryComment Comment; // raw bytes
    TExtraFields ExtraFields;
    std::uint64_t Zip64UncompressedSize = 0;
    std::uint64_t Zip64CompressedSize = 0;
    std::uint64_t Zip64LocalHeaderOffset = 0;
    std::uint32_t Zip64DiskStart = 0;
    bool HasZip64Info = false;
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
    TZAHashedStringList() = default;
    // The hash refers to the strings it indexes, so a moved list builds its own again.
    TZAHashedStringList(TZAHashedStringList&& other) noexcept : strings_(std::move(other.strings_)) {
        other.hash_.reset();
    }
    TZAHashedStringList& operator=(TZAHashedStringList&& other) noexcept {
        strings_ = std::move(other.strings_);
        hash_.reset();
        other.hash_.reset();
        return *this;
    }
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
