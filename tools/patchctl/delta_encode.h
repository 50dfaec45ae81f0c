// Making the binary deltas that delta patches carry: the packer's half of the delta codec, whose other
// half (decoding, on the player's side) is the launcher's.
#pragma once

#include "launcher/apply/delta_patch.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pc {

// How a delta is made: a high level for size, long-distance matching, and a window that covers the old
// file (larger files are coded in parts, each part one such delta against a region of the old file).
inline constexpr int kDeltaLevel = 19;

// The delta that turns `old` into `next` (a whole zstd frame). `threads` of 1 or more has libzstd compress
// on that many worker threads (the same bytes for any number); 0 compresses on the calling thread.
// EDeltaError when libzstd refuses.
std::string EncodeDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* next,
                        std::size_t nextSize, int level = kDeltaLevel, int threads = 0);

} // namespace pc
