// Making parted deltas, for files too large for one frame or for memory: the packer's half of the parted
// delta form (launcher/apply/delta_parts.h).
#pragma once

#include "launcher/apply/delta_parts.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace pc {

// Large files change in place or move by whole inserts and cuts: a fast level with long-distance matching
// finds the same copies as the slowest one, at a small fraction of its time.
inline constexpr int kPartedDeltaLevel = 3;

struct TPartOptions {
    std::int64_t partBytes = kMostPartBytes;
    std::int64_t regionBytes = kMostRegionBytes;
    int level = kPartedDeltaLevel;
    int threads = 0; // as EncodeDelta's
    // Told the bytes of the new file coded so far after each part: a large file takes minutes.
    std::function<void(std::int64_t coded)> progress;
};

struct TPartedDelta {
    std::string oldSha256, newSha256;
    std::int64_t oldSize = 0, newSize = 0;
    std::uint64_t bytes = 0; // of the delta's data
    int parts = 0;
};

// Writes the parted delta that turns the file at `oldPath` into the one at `newPath` through `write`,
// reading each file twice in pieces (once to find where the new file's content lies in the old, once to
// code it). EDeltaError when libzstd refuses, EFOpenError when a file cannot be read.
TPartedDelta EncodePartedDelta(const std::filesystem::path& oldPath, const std::filesystem::path& newPath,
                               const std::function<void(const char* data, std::size_t size)>& write,
                               const TPartOptions& options = {});

// The same, written to the file at `outPath` (replaced); EWriteError when it cannot be written.
TPartedDelta EncodePartedDeltaFile(const std::filesystem::path& oldPath, const std::filesystem::path& newPath,
                                   const std::string& outPath, const TPartOptions& options = {});

} // namespace pc
