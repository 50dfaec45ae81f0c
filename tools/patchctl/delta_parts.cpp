#include "tools/patchctl/delta_parts.h"

#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "tools/patchctl/delta_encode.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <vector>

namespace pc {
namespace {

namespace fs = std::filesystem;

// A point of a file chosen by its content (a rolling hash of the 64 bytes before it), so that the same
// content gives the same points wherever it lies: the fingerprint and the offset just past those bytes.
struct Anchor {
    std::uint64_t print;
    std::int64_t at;
};

constexpr std::array<std::uint64_t, 256> MakeGear() {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    for (auto& value : table) {
        state += 0x9e3779b97f4a7c15u;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        value = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> kGear = MakeGear();
// The high bits of the rolling hash depend on all 64 bytes: one point in about 8 KiB, at least 512 bytes
// apart so that a run of one repeated byte does not make a point of every byte.
constexpr std::uint64_t kAnchorMask = std::uint64_t{0x1fff} << 51;
constexpr std::int64_t kAnchorGap = 512;
constexpr std::size_t kReadPiece = 8u << 20;
// The matches of a fingerprint that count: repeated content beyond that tells nothing of where a part lies.
constexpr std::ptrdiff_t kMostMatches = 8;

std::ifstream OpenRead(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        throw EFOpenError("Cannot open file " + path.string());
    return stream;
}

void ReadAt(std::ifstream& stream, const fs::path& path, std::int64_t offset, std::uint8_t* into,
            std::size_t length) {
    stream.clear();
    stream.seekg(offset);
    stream.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(length));
    if (stream.gcount() != static_cast<std::streamsize>(length))
        throw EFOpenError("Cannot read " + path.string());
}

// The anchors of a file in its order, with its SHA-256 and size, read in pieces.
std::vector<Anchor> AnchorsOf(const fs::path& path, std::string& sha256, std::int64_t& size) {
    std::ifstream stream = OpenRead(path);
    std::vector<std::uint8_t> piece(kReadPiece);
    std::vector<Anchor> anchors;
    TSha256 hasher;
    std::uint64_t hash = 0;
    std::int64_t at = 0, last = -kAnchorGap;
    for (;;) {
        stream.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(stream.gcount());
        if (got == 0)
            break;
        hasher.Update(piece.data(), got);
        for (std::size_t i = 0; i < got; ++i) {
            hash = (hash << 1) + kGear[piece[i]];
            ++at;
            if ((hash & kAnchorMask) == 0 && at - last >= kAnchorGap && at >= 64) {
                anchors.push_back({hash, at});
                last = at;
            }
        }
    }
    if (stream.bad())
        throw EFOpenError("Cannot read " + path.string());
    sha256 = hasher.HexDigest();
    size = at;
    return anchors;
}

struct Region {
    std::int64_t offset = 0, length = 0;
};

// The region of the old file that the new part [start, end) matches: around the densest run of old
// offsets its anchors are found at, reaching as far as the part's ends project from them, and no longer
// than `most`. Without any match, the same place in the old file.
Region RegionFor(const std::vector<Anchor>& byPrint, std::vector<Anchor>::const_iterator from,
                 std::vector<Anchor>::const_iterator to, std::int64_t start, std::int64_t end,
                 std::int64_t oldSize, std::int64_t most) {
    struct Match {
        std::int64_t old, fromStart, toEnd;
    };
    std::vector<Match> matches;
    for (auto anchor = from; anchor != to; ++anchor) {
        auto [first, last] =
            std::equal_range(byPrint.begin(), byPrint.end(), *anchor,
                             [](const Anchor& a, const Anchor& b) { return a.print < b.print; });
        if (last - first > kMostMatches)
            continue;
        for (auto found = first; found != last; ++found)
            matches.push_back({found->at, anchor->at - start, end - anchor->at});
    }
    const std::int64_t length = end - start;
    std::int64_t lo, hi;
    if (matches.empty()) {
        lo = std::max<std::int64_t>(0, start - (most - length) / 2);
        hi = std::min(oldSize, lo + most);
    } else {
        std::sort(matches.begin(), matches.end(),
                  [](const Match& a, const Match& b) { return a.old < b.old; });
        const std::int64_t spread = std::max<std::int64_t>(most - length, 0);
        std::size_t best = 0, bestCount = 0;
        for (std::size_t i = 0, j = 0; i < matches.size(); ++i) {
            while (matches[i].old - matches[j].old > spread)
                ++j;
            if (i - j + 1 > bestCount) {
                bestCount = i - j + 1;
                best = j;
            }
        }
        lo = oldSize;
        hi = 0;
        for (std::size_t i = best; i < best + bestCount; ++i) {
            lo = std::min(lo, matches[i].old - matches[i].fromStart);
            hi = std::max(hi, matches[i].old + matches[i].toEnd);
        }
        // A little slack for the bytes before the first and after the last anchor that moved with them.
        constexpr std::int64_t kSlack = std::int64_t{1} << 20;
        lo = std::max<std::int64_t>(0, lo - kSlack);
        hi = std::min(oldSize, hi + kSlack);
        if (hi - lo > most) {
            const std::int64_t middle = (matches[best].old + matches[best + bestCount - 1].old) / 2;
            lo = std::clamp<std::int64_t>(middle - most / 2, 0, std::max<std::int64_t>(oldSize - most, 0));
            hi = std::min(oldSize, lo + most);
        }
    }
    if (hi < lo)
        hi = lo;
    return {lo, hi - lo};
}

void PutNumber(std::uint8_t* into, std::int64_t value) {
    for (int i = 0; i < 8; ++i)
        into[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
}

} // namespace

TPartedDelta EncodePartedDelta(const fs::path& oldPath, const fs::path& newPath,
                               const std::function<void(const char* data, std::size_t size)>& write,
                               const TPartOptions& options) {
    if (options.partBytes <= 0 || options.partBytes > kMostPartBytes || options.regionBytes < 0 ||
        options.regionBytes > kMostRegionBytes)
        throw EDeltaError("Cannot make a delta: parts or regions beyond what a launcher decodes");
    TPartedDelta result;
    std::vector<Anchor> byPrint = AnchorsOf(oldPath, result.oldSha256, result.oldSize);
    std::sort(byPrint.begin(), byPrint.end(),
              [](const Anchor& a, const Anchor& b) { return a.print < b.print; });
    const std::vector<Anchor> inNew = AnchorsOf(newPath, result.newSha256, result.newSize);

    write(kPartedMagic, sizeof kPartedMagic);
    result.bytes = sizeof kPartedMagic;
    std::ifstream oldStream = OpenRead(oldPath), newStream = OpenRead(newPath);
    std::vector<std::uint8_t> region, part;
    auto anchor = inNew.begin();
    for (std::int64_t start = 0; start < result.newSize; start += options.partBytes) {
        const std::int64_t end = std::min(result.newSize, start + options.partBytes);
        const auto from = anchor;
        while (anchor != inNew.end() && anchor->at <= end)
            ++anchor;
        const Region where =
            RegionFor(byPrint, from, anchor, start, end, result.oldSize, options.regionBytes);
        region.resize(static_cast<std::size_t>(where.length));
        ReadAt(oldStream, oldPath, where.offset, region.data(), region.size());
        part.resize(static_cast<std::size_t>(end - start));
        ReadAt(newStream, newPath, start, part.data(), part.size());
        const std::string frame = EncodeDelta(region.data(), region.size(), part.data(), part.size(),
                                              options.level, options.threads);
        std::uint8_t head[kPartHeadBytes];
        PutNumber(head, where.offset);
        PutNumber(head + 8, where.length);
        PutNumber(head + 16, end - start);
        PutNumber(head + 24, static_cast<std::int64_t>(frame.size()));
        write(reinterpret_cast<const char*>(head), sizeof head);
        write(frame.data(), frame.size());
        result.bytes += sizeof head + frame.size();
        ++result.parts;
        if (options.progress)
            options.progress(end);
    }
    return result;
}

TPartedDelta EncodePartedDeltaFile(const fs::path& oldPath, const fs::path& newPath,
                                   const std::string& outPath, const TPartOptions& options) {
    std::ofstream stream(outPath, std::ios::binary | std::ios::trunc);
    const TPartedDelta coded = EncodePartedDelta(
        oldPath, newPath,
        [&](const char* data, std::size_t size) {
            if (!stream.write(data, static_cast<std::streamsize>(size)))
                throw EWriteError("Cannot write " + outPath);
        },
        options);
    if (!stream.flush())
        throw EWriteError("Cannot write " + outPath);
    return coded;
}

} // namespace pc
