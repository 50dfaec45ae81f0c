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

// The temporaries that ReplaceFile makes beside `path`: "." name, a mark, 12 lower-case hex digits and
// ".tmp", named so that no archive entry can be extracted to them (a patch's file is never taken for one):
// the mark is a '\' on POSIX, where entries take it for a separator, and the name ends with a '.' on
// Windows, which strips every final dot from the names that entries reach it by. RemoveLeftoverTemporaries
// removes those that replacements killed before their rename left behind, and nothing else.
bool IsReplacementTemporaryOf(const std::string& entry, const std::string& name);
void RemoveLeftoverTemporaries(const std::string& path);

// Each platform's part of the above: the marks around the digits, and the removal of one temporary.
struct TReplacementMarks {
    const char* beforeDigits;
    const char* atTheEnd;
};
TReplacementMarks ReplacementTemporaryMarks();
bool RemoveReplacementTemporary(const std::string& path);

} // namespace pc
