// Builds ZIP archives byte by byte for the extraction tests, with every field under the test's control so
// that damaged and unusual archives can be made as easily as well-formed ones.
#pragma once

#include "archive/decode.h"

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace pc::test {

inline std::string RawDeflate(const std::string& data, int level = 6) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&s, data.size()) + 16, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

inline std::uint32_t CrcOf(const std::string& data) {
    return ZipCrc32(0, data.data(), data.size());
}

inline std::string RandomText(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>(rng());
    return out;
}

constexpr std::uint16_t kMadeByDos = 20;
constexpr std::uint16_t kMadeByUnix = (3 << 8) | 30;

struct ZipEntryDef {
    std::string name; // stored bytes (UTF-8 flag is set when utf8 is true)
    std::string data; // the contents the entry stands for
    std::uint16_t method = 8;
    std::optional<std::string> payload; // stored bytes instead of the ones made from data
    std::uint16_t versionMadeBy = kMadeByDos;
    std::uint16_t versionNeeded = 20;
    std::uint16_t flags = 0;
    bool utf8 = false;
    std::uint16_t time = (12 << 11) | (30 << 5) | 22; // 12:30:44
    std::uint16_t date = (44 << 9) | (3 << 5) | 15;   // 2024-03-15
    std::uint32_t externalAttr = 0x20;
    std::optional<std::uint32_t> centralCrc;
    std::optional<std::uint32_t> centralCompressedSize;
    std::optional<std::uint32_t> centralUncompressedSize;
    std::string localName;       // when not empty, the local header carries this name instead
    std::string localExtra;      // extra bytes in the local header only
    std::string centralExtra;    // extra bytes in the central directory only
    std::string password;        // traditional encryption when not empty
    bool dataDescriptor = false; // flags bit 3, zeros in the local header and a descriptor after the data
};

class ZipBuilder {
public:
    ZipBuilder& Add(ZipEntryDef entry) {
        entries_.push_back(std::move(entry));
        return *this;
    }
    ZipBuilder& Stored(const std::string& name, const std::string& data) {
        ZipEntryDef s;
        s.name = name;
        s.data = data;
        s.method = 0;
        s.versionNeeded = 10;
        return Add(s);
    }
    ZipBuilder& Deflated(const std::string& name, const std::string& data) {
        ZipEntryDef s;
        s.name = name;
        s.data = data;
        return Add(s);
    }
    ZipBuilder& Directory(const std::string& name, std::uint32_t attr = 0x10) {
        ZipEntryDef s;
        s.name = name;
        s.method = 0;
        s.versionNeeded = 10;
        s.externalAttr = attr;
        return Add(s);
    }
    ZipBuilder& Prefix(const std::string& bytes) {
        prefix_ = bytes;
        return *this;
    }

    std::string Build() const {
        std::string out = prefix_;
        std::string central;
        for (const auto& s : entries_) {
            const std::uint32_t crc = CrcOf(s.data);
            std::string payload = s.payload ? *s.payload : (s.method == 8 ? RawDeflate(s.data) : s.data);
            std::uint16_t flags = s.flags;
            if (s.utf8)
                flags |= 0x0800;
            if (s.dataDescriptor)
                flags |= 0x0008;
            if (!s.password.empty()) {
                flags |= 0x0001;
                std::string header = RandomText(kEncryptionHeaderSize, 5);
                header.back() = static_cast<char>(s.dataDescriptor ? (s.time >> 8) : (crc >> 24));
                std::string plain = header + payload;
                TZAZipCipher(s.password).Encrypt(reinterpret_cast<std::uint8_t*>(plain.data()), plain.size());
                payload = plain;
            }
            const auto offset = static_cast<std::uint32_t>(out.size() - prefix_.size());
            const std::string& localName = s.localName.empty() ? s.name : s.localName;
            std::string local;
            Put32(local, 0x04034B50);
            Put16(local, s.versionNeeded);
            Put16(local, flags);
            Put16(local, s.method);
            Put16(local, s.time);
            Put16(local, s.date);
            Put32(local, s.dataDescriptor ? 0 : crc);
            Put32(local, s.dataDescriptor ? 0 : static_cast<std::uint32_t>(payload.size()));
            Put32(local, s.dataDescriptor ? 0 : static_cast<std::uint32_t>(s.data.size()));
            Put16(local, static_cast<std::uint16_t>(localName.size()));
            Put16(local, static_cast<std::uint16_t>(s.localExtra.size()));
            out += local + localName + s.localExtra + payload;
            if (s.dataDescriptor) {
                Put32(out, 0x08074B50);
                Put32(out, crc);
                Put32(out, static_cast<std::uint32_t>(payload.size()));
                Put32(out, static_cast<std::uint32_t>(s.data.size()));
            }
            Put32(central, 0x02014B50);
            Put16(central, s.versionMadeBy);
            Put16(central, s.versionNeeded);
            Put16(central, flags);
            Put16(central, s.method);
            Put16(central, s.time);
            Put16(central, s.date);
            Put32(central, s.centralCrc.value_or(crc));
            Put32(central, s.centralCompressedSize.value_or(static_cast<std::uint32_t>(payload.size())));
            Put32(central, s.centralUncompressedSize.value_or(static_cast<std::uint32_t>(s.data.size())));
            Put16(central, static_cast<std::uint16_t>(s.name.size()));
            Put16(central, static_cast<std::uint16_t>(s.centralExtra.size()));
            Put16(central, 0); // comment
            Put16(central, 0); // disk
            Put16(central, 0); // internal attributes
            Put32(central, s.externalAttr);
            Put32(central, offset);
            central += s.name;
            central += s.centralExtra;
        }
        const auto directoryOffset = static_cast<std::uint32_t>(out.size() - prefix_.size());
        out += central;
        Put32(out, 0x06054B50);
        Put16(out, 0);
        Put16(out, 0);
        Put16(out, static_cast<std::uint16_t>(entries_.size()));
        Put16(out, static_cast<std::uint16_t>(entries_.size()));
        Put32(out, static_cast<std::uint32_t>(central.size()));
        Put32(out, directoryOffset);
        Put16(out, 0);
        return out;
    }

    static void Put16(std::string& out, std::uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    }
    static void Put32(std::string& out, std::uint32_t v) {
        Put16(out, static_cast<std::uint16_t>(v));
        Put16(out, static_cast<std::uint16_t>(v >> 16));
    }

private:
    std::vector<ZipEntryDef> entries_;
    std::string prefix_;
};

} // namespace pc::test
