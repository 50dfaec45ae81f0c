// Room on the installation's disk, told before the bytes of a patch arrive rather than once it is full.
#pragma once

#include "framework/exceptions.h"

#include <cstdint>
#include <string>

namespace pc {

class TZipArchiver;

// What a patch must leave free beside its own bytes: the game, the system and the launcher's own files
// need room too, and the free space moves while the patch arrives.
inline constexpr std::int64_t kDiskSpaceMargin = 64LL * 1024 * 1024;

// Raised when a patch would not fit: "Not enough disk space: %d MiB needed, %d MiB free [%s]", with the
// bytes and the margin rounded up, the free space rounded down and the installation directory.
class ENotEnoughSpace : public Exception {
public:
    ENotEnoughSpace(std::int64_t neededBytes, std::int64_t freeBytes, const std::string& directory);
};

// Raises ENotEnoughSpace when `bytes` plus the margin exceed the free space of the file system holding
// `directory`. A system that cannot tell its free space lets the bytes come: a full disk is then still
// caught as it fills.
void RequireDiskSpace(const std::string& directory, std::int64_t bytes);

// The most that extracting the open archive of `zip` over its BaseDir adds to the disk at any moment, in
// the order the entries are written: each new file, less the file of the same name it replaces once it
// is written in full. The replaced file stays until its successor is complete, so for that moment both
// count. The reserved folder of a delta patch is not written; what its deltas decode to is told by
// DecodedDeltaBytes.
std::int64_t ExtractionGrowth(const TZipArchiver& zip);

} // namespace pc
