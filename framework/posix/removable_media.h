// Removable media on Linux: the block device's own flag under sysfs.
#pragma once

#include <string>

namespace pc::posix {

// Whether the block device with this number reports itself removable under `sysRoot` (normally /sys).
// A partition answers for its disk. False whenever it cannot be told.
bool IsRemovableBlockDevice(unsigned major, unsigned minor, const std::string& sysRoot = "/sys");
// Whether the file at `path` lies on removable media.
bool IsOnRemovableMedia(const std::string& path, const std::string& sysRoot = "/sys");

} // namespace pc::posix
