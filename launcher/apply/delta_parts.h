// Deltas of files too large for one frame: the new file is cut into parts, and each part is a delta
// against the one region of the old file that it matches (wherever that region moved to). Both the
// installed file and the result pass through in bounded pieces, so a file of any size is decoded in
// memory of about one region and one part.
#pragma once

#include "launcher/apply/delta_patch.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pc {

// A parted delta's data is named with this ending in the reserved folder. It opens with kPartedMagic,
// then holds one record per part, in the new file's order: a 32-byte head (the region's offset and
// length in the old file, the part's length in the new file, the length of its frame; little-endian
// 64-bit numbers) and the frame, a delta of the part against the region. The parts add up to the new
// file. A launcher that does not know the form finds no zstd frame and fetches the file whole.
inline constexpr const char* kPartedEntrySuffix = ".parts";
inline constexpr char kPartedMagic[8] = {'T', 'Q', 'M', 'P', 'A', 'R', 'T', '1'};
inline constexpr std::size_t kPartHeadBytes = 32;

// The most a part and a region may hold: what bounds the memory of both coder and decoder.
inline constexpr std::int64_t kMostPartBytes = std::int64_t{64} << 20;
inline constexpr std::int64_t kMostRegionBytes = std::int64_t{256} << 20;

// Whether the record's data is parted (else it is one frame against the whole old file).
bool IsPartedDelta(const TDeltaRecord& record);

// Decodes a parted delta fed in pieces. `readOld` fills `into` with `length` bytes of the old file from
// `offset` (false when it cannot); it is called once per part.
class TPartedDeltaDecoder {
public:
    using TReadOld = std::function<bool(std::int64_t offset, std::size_t length, std::uint8_t* into)>;

    TPartedDeltaDecoder(std::int64_t oldSize, std::int64_t newSize, TReadOld readOld,
                        TDeltaDecoder::TOutput output);
    TPartedDeltaDecoder(const TPartedDeltaDecoder&) = delete;
    TPartedDeltaDecoder& operator=(const TPartedDeltaDecoder&) = delete;
    ~TPartedDeltaDecoder();

    // False when the bytes are not a parted delta of these files or the output refused its bytes; every
    // later call is then false too.
    bool Feed(const void* data, std::size_t size);
    // Whether every part was decoded and nothing came after them.
    bool Finished() const {
        return !failed_ && magicSeen_ == sizeof kPartedMagic && produced_ == newSize_ && !part_ &&
               head_.empty();
    }
    bool Failed() const { return failed_; }

private:
    bool StartPart();
    bool EndPart();

    std::int64_t oldSize_, newSize_;
    TReadOld readOld_;
    TDeltaDecoder::TOutput output_;
    std::size_t magicSeen_ = 0;
    std::vector<std::uint8_t> head_;   // the current part's head as it arrives
    std::vector<std::uint8_t> region_; // the old file's region of the current part
    std::unique_ptr<TDeltaDecoder> part_;
    std::int64_t partSize_ = 0, partMade_ = 0, frameLeft_ = 0;
    std::int64_t produced_ = 0;
    bool failed_ = false;
};

} // namespace pc
