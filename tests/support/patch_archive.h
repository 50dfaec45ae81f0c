// Builds small ZIP archives in memory for the tests of patches: stored or deflated entries, Unix
// permissions, and a CRC-32 that can be made to lie. Header-only; the test links zlib.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pc::test {

struct ArchiveEntry {
    ArchiveEntry(std::string entryName, std::string entryData = {})
        : name(std::move(entryName)), data(std::move(entryData)) {}
    ArchiveEntry& Stored() {
        deflate = false;
        return *this;
    }
    ArchiveEntry& Mode(std::uint32_t mode) {
        unixMode = mode;
        return *this;
    }
    ArchiveEntry& WrongCrc() {
        crc = 0xDEADBEEF;
        return *this;
    }

    std::string name; // as stored, '/' separated; a trailing '/' makes a directory entry
    std::string data;
    bool deflate = true;
    std::uint32_t unixMode = 0100644; // kept in the high half of the external attributes (made on Unix)
    std::optional<std::uint32_t> crc; // stored instead of the true CRC-32 when set
};

namespace archive_detail {

inline void Put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

inline std::string RawDeflate(const std::string& data) {
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&s, static_cast<uLong>(data.size())), '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    return out;
}

} // namespace archive_detail

inline std::string MakeArchive(const std::vector<ArchiveEntry>& entries) {
    using archive_detail::Put16;
    using archive_detail::Put32;
    constexpr std::uint32_t kTime = (12u << 11) | (30u << 5);                 // 12:30:00
    constexpr std::uint32_t kDate = ((2024u - 1980u) << 9) | (3u << 5) | 15u; // 2024-03-15
    std::string body;
    std::string central;
    for (const ArchiveEntry& e : entries) {
        const bool directory = !e.name.empty() && e.name.back() == '/';
        const bool deflate = e.deflate && !directory;
        const std::string packed = deflate ? archive_detail::RawDeflate(e.data) : e.data;
        const std::uint32_t crc =
            e.crc ? *e.crc
                  : static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                                     static_cast<uInt>(e.data.size())));
        const std::uint32_t mode = directory ? (040755u) : e.unixMode;
        const std::uint32_t external = (mode << 16) | (directory ? 0x10u : 0u);
        const auto offset = static_cast<std::uint32_t>(body.size());

        Put32(body, 0x04034b50);
        Put16(body, 20);
        Put16(body, 0);
        Put16(body, deflate ? 8 : 0);
        Put16(body, kTime);
        Put16(body, kDate);
        Put32(body, crc);
        Put32(body, static_cast<std::uint32_t>(packed.size()));
        Put32(body, static_cast<std::uint32_t>(e.data.size()));
        Put16(body, static_cast<std::uint32_t>(e.name.size()));
        Put16(body, 0);
        body += e.name;
        body += packed;

        Put32(central, 0x02014b50);
        Put16(central, (3u << 8) | 20u); // made on Unix
        Put16(central, 20);
        Put16(central, 0);
        Put16(central, deflate ? 8 : 0);
        Put16(central, kTime);
        Put16(central, kDate);
        Put32(central, crc);
        Put32(central, static_cast<std::uint32_t>(packed.size()));
        Put32(central, static_cast<std::uint32_t>(e.data.size()));
        Put16(central, static_cast<std::uint32_t>(e.name.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, external);
        Put32(central, offset);
        central += e.name;
    }
    std::string out = body + central;
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<std::uint32_t>(entries.size()));
    Put16(out, static_cast<std::uint32_t>(entries.size()));
    Put32(out, static_cast<std::uint32_t>(central.size()));
    Put32(out, static_cast<std::uint32_t>(body.size()));
    Put16(out, 0);
    return out;
}

} // namespace pc::test
