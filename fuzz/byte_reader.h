// Takes a fuzz input apart into the values a target needs; past the end every value is zero or empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace pc::fuzz {

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }

    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

    template <typename T> T Value() {
        T value{};
        const std::size_t n = std::min(sizeof value, size_ - at_);
        std::memcpy(&value, data_ + at_, n);
        at_ += n;
        return value;
    }

    // A string of up to `limit` bytes whose length comes first.
    std::string String(std::size_t limit = 255) {
        const std::size_t wanted = std::min<std::size_t>(Byte(), limit);
        const std::size_t n = std::min(wanted, size_ - at_);
        std::string s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }

    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
        at_ = size_;
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace pc::fuzz
