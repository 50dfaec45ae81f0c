// The SHA-256 of a whole file, read in pieces: a file of any size costs one buffer.
#pragma once

#include <string>

namespace pc::patchctl {

// 64 lower-case hexadecimal digits. EFOpenError "Cannot open file %s" when it cannot be opened or read.
std::string Sha256OfFile(const std::string& path);

} // namespace pc::patchctl
