// Whole-file reads and crash-safe whole-file replacement for the text services. Names are the core's
// 8-bit names in the system's code page.
#pragma once

#include <string>

namespace pc {

// All bytes of a file. EFOpenError "Cannot open file %s" when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path);

// Replaces the file by `bytes` through a temporary file in the same directory that is written, flushed to
// disk and renamed over the target, so that readers and crashes see either the old or the new content.
// EFCreateError "Cannot create file %s" when the file cannot be made or replaced, EWriteError
// "Stream write error" when the bytes do not all reach the disk; in both cases the old file stays.
void ReplaceFile(const std::string& path, const std::string& bytes);

} // namespace pc
