#include "archive/dir_items.h"

#include "archive/code_pages.h"
#include "archive/za_exception.h"

#include <algorithm>
#include <iterator>
#include <random>

namespace pc {

std::uint64_t TDirItem::FullCompressedSize() const {
    return CompressedSize == 0xFFFFFFFFu ? Zip64CompressedSize : CompressedSize;
}

std::uint64_t TDirItem::FullUncompressedSize() const {
    return UncompressedSize == 0xFFFFFFFFu ? Zip64UncompressedSize : UncompressedSize;
}

std::uint64_t TDirItem::FullLocalHeaderOffset() const {
    return LocalHeaderOffset == 0xFFFFFFFFu ? Zip64LocalHeaderOffset : LocalHeaderOffset;
}

const std::string& TEntryComment::str() const {
    static const std::string none;
    return text_ ? *text_ : none;
}

ExtraFieldView TExtraFields::const_iterator::operator*() const {
    const std::uint16_t size = GetU16(at_ + 2);
    return {GetU16(at_), size, {at_ + 4, size}};
}

TExtraFields::const_iterator& TExtraFields::const_iterator::operator++() {
    at_ += 4 + std::size_t{GetU16(at_ + 2)};
    return *this;
}

void TExtraFields::Append(std::uint16_t headerId, const std::uint8_t* data, std::size_t size) {
    const auto length = static_cast<std::uint16_t>(size);
    std::copy(data, data + length, AppendSpace(headerId, length));
}

std::uint8_t* TExtraFields::AppendSpace(std::uint16_t headerId, std::uint16_t size) {
    const std::uint8_t head[4] = {static_cast<std::uint8_t>(headerId),
                                  static_cast<std::uint8_t>(headerId >> 8), static_cast<std::uint8_t>(size),
                                  static_cast<std::uint8_t>(size >> 8)};
    bytes_.insert(bytes_.end(), head, head + 4);
    bytes_.resize(bytes_.size() + size);
    return bytes_.data() + bytes_.size() - size;
}

std::size_t TExtraFields::size() const {
    return static_cast<std::size_t>(std::distance(begin(), end()));
}

ExtraFieldView TExtraFields::operator[](std::size_t i) const {
    auto it = begin();
    std::advance(it, static_cast<std::ptrdiff_t>(i));
    return *it;
}

namespace {

// SipHash-1-3: a keyed hash made for exactly this, tables whose keys come from someone else.
class TSipHash {
public:
    TSipHash(std::uint64_t k0, std::uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ull), v1_(k1 ^ 0x646f72616e646f6dull), v2_(k0 ^ 0x6c7967656e657261ull),
          v3_(k1 ^ 0x7465646279746573ull) {}

    std::uint64_t Hash(const std::uint8_t* data, std::size_t size) {
        const std::size_t whole = size - size % 8;
        for (std::size_t at = 0; at < whole; at += 8)
            Compress(Load(data + at, 8));
        const std::uint64_t last =
            (static_cast<std::uint64_t>(size & 0xFF) << 56) | Load(data + whole, size % 8);
        Compress(last);
        v2_ ^= 0xFF;
        Round();
        Round();
        Round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    static std::uint64_t Rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
    static std::uint64_t Load(const std::uint8_t* p, std::size_t n) {
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < n; ++k)
            v |= static_cast<std::uint64_t>(p[k]) << (8 * k);
        return v;
    }
    void Round() {
        v0_ += v1_;
        v1_ = Rotl(v1_, 13) ^ v0_;
        v0_ = Rotl(v0_, 32);
        v2_ += v3_;
        v3_ = Rotl(v3_, 16) ^ v2_;
        v0_ += v3_;
        v3_ = Rotl(v3_, 21) ^ v0_;
        v2_ += v1_;
        v1_ = Rotl(v1_, 17) ^ v2_;
        v2_ = Rotl(v2_, 32);
    }
    void Compress(std::uint64_t m) {
        v3_ ^= m;
        Round();
        v0_ ^= m;
    }
    std::uint64_t v0_, v1_, v2_, v3_;
};

struct TProcessKey {
    std::uint64_t k0, k1;
};

const TProcessKey& ProcessKey() {
    static const TProcessKey key = [] {
        std::random_device random;
        auto draw = [&] { return (static_cast<std::uint64_t>(random()) << 32) ^ random(); };
        return TProcessKey{draw(), draw()};
    }();
    return key;
}

} // namespace

TZAStringHash::TZAStringHash(std::size_t bucketCount, const std::vector<std::u16string>& keys)
    : keys_(keys), heads_(std::max<std::size_t>(bucketCount, 1), -1) {}

std::uint64_t TZAStringHash::HashOf(std::u16string_view key) {
    // The code units as little-endian byte pairs, so that every platform hashes a name alike.
    std::uint8_t buffer[512];
    std::vector<std::uint8_t> large;
    std::uint8_t* bytes = buffer;
    if (key.size() * 2 > sizeof buffer) {
        large.resize(key.size() * 2);
        bytes = large.data();
    }
    for (std::size_t k = 0; k < key.size(); ++k) {
        bytes[2 * k] = static_cast<std::uint8_t>(key[k]);
        bytes[2 * k + 1] = static_cast<std::uint8_t>(key[k] >> 8);
    }
    const TProcessKey& processKey = ProcessKey();
    return TSipHash(processKey.k0, processKey.k1).Hash(bytes, key.size() * 2);
}

void TZAStringHash::Add(std::int32_t value) {
    const auto position = static_cast<std::size_t>(value);
    if (next_.size() <= position)
        next_.resize(position + 1, -1);
    std::int32_t& head = heads_[HashOf(keys_[position]) % heads_.size()];
    next_[position] = head;
    head = value;
}

void TZAStringHash::Remove(std::int32_t value) {
    std::int32_t* link = &heads_[HashOf(keys_[static_cast<std::size_t>(value)]) % heads_.size()];
    while (*link >= 0 && *link != value)
        link = &next_[static_cast<std::size_t>(*link)];
    if (*link == value)
        *link = next_[static_cast<std::size_t>(value)];
}

std::int32_t TZAStringHash::ValueOf(const std::u16string& key) const {
    // Of equal keys the latest position wins, wherever a rename put it in the chain.
    std::int32_t found = -1;
    for (std::int32_t at = heads_[HashOf(key) % heads_.size()]; at >= 0;
         at = next_[static_cast<std::size_t>(at)])
        if (at > found && keys_[static_cast<std::size_t>(at)] == key)
            found = at;
    return found;
}

std::int32_t TZAHashedStringList::Add(const std::u16string& s) {
    strings_.push_back(s);
    auto position = static_cast<std::int32_t>(strings_.size() - 1);
    if (hash_) {
        hash_->Add(position);
        // Long chains cost more than a rebuild on the next lookup.
        if (strings_.size() > 5 * hash_->BucketCount())
            hash_.reset();
    }
    return position;
}

void TZAHashedStringList::Put(std::int32_t i, const std::u16string& s) {
    // A renamed entry (its Unicode name block read after the stored name) moves to its new chain: dropping
    // the whole hash for it would rebuild it once per entry.
    if (hash_)
        hash_->Remove(i);
    strings_.at(static_cast<std::size_t>(i)) = s;
    if (hash_)
        hash_->Add(i);
}

void TZAHashedStringList::Delete(std::int32_t i) {
    strings_.erase(strings_.begin() + i);
    hash_.reset();
}

void TZAHashedStringList::Clear() {
    strings_.clear();
    hash_.reset();
}

std::int32_t TZAHashedStringList::IndexOf(const std::u16string& s) {
    if (!hash_) {
        hash_ = std::make_unique<TZAStringHash>(std::max<std::size_t>(strings_.size(), 1000), strings_);
        for (std::size_t i = 0; i < strings_.size(); ++i)
            hash_->Add(static_cast<std::int32_t>(i));
    }
    return hash_->ValueOf(s);
}

void TZADirArray::SetCount(std::int32_t count) {
    count = std::max(count, 0);
    if (count == 0) {
        std::vector<TDirItem>().swap(items_);
        count_ = 0;
        return;
    }
    if (count > Allocated()) {
        step_ = std::min(step_ * 2, 10000);
        items_.resize(static_cast<std::size_t>(std::max(Allocated() + step_, count)));
    }
    for (std::int32_t i = count_; i < count; ++i)
        items_[static_cast<std::size_t>(i)] = TDirItem();
    count_ = count;
}

TDirItem TZADirArray::Get(std::int32_t i) const {
    if (i < 0 || i >= count_)
        throw EZAException(neGetIndexOutOfBounds);
    return items_[static_cast<std::size_t>(i)];
}

TDirItem& TZADirArray::Item(std::int32_t i) {
    if (i < 0 || i >= count_)
        throw EZAException(neItemIndexOutOfBounds);
    return items_[static_cast<std::size_t>(i)];
}

const TDirItem& TZADirArray::Item(std::int32_t i) const {
    if (i < 0 || i >= count_)
        throw EZAException(neItemIndexOutOfBounds);
    return items_[static_cast<std::size_t>(i)];
}

void TZADirArray::Put(std::int32_t i, const TDirItem& item) {
    if (i < 0 || i >= count_)
        throw EZAException(nePutIndexOutOfBounds);
    if (i >= names_.Count())
        throw EZAException(neNameIndexOverrun);
    names_.Put(i, WideLowerCase(item.Name));
    items_[static_cast<std::size_t>(i)] = item;
}

void TZADirArray::Delete(std::int32_t i) {
    if (i < 0 || i >= count_)
        throw EZAException(neDeleteIndexOutOfBounds);
    items_.erase(items_.begin() + i);
    items_.emplace_back();
    --count_;
    if (i < names_.Count())
        names_.Delete(i);
}

void TZADirArray::Clear() {
    SetCount(0);
    names_.Clear();
}

void TZADirArray::SetItemName(std::int32_t i, const std::u16string& name) {
    TDirItem& item = Item(i);
    std::int32_t position = names_.IndexOf(WideLowerCase(item.Name));
    if (position < 0)
        names_.Add(WideLowerCase(name));
    else if (position == i)
        names_.Put(i, WideLowerCase(name));
    else
        throw EZAException(neDuplicateName);
    item.Name = name;
}

std::int32_t TZADirArray::IndexOfName(const std::u16string& name) {
    return names_.IndexOf(WideLowerCase(name));
}

bool TUnicodeExtendedInfo::Parse(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || GetU32(data) != kUnicodeNameSignature)
        return false;
    Signature = GetU32(data);
    auto declared = static_cast<std::int32_t>(GetU32(data + 4));
    // The declared count is not trusted: the name ends where the block's data ends.
    std::size_t count =
        std::min<std::size_t>(declared < 0 ? 0 : static_cast<std::size_t>(declared), (size - 8) / 2);
    Name.clear();
    Name.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        Name += static_cast<char16_t>(GetU16(data + 8 + 2 * k));
    return true;
}

} // namespace pc
