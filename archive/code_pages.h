// Character-set conversions of archive names: OEM = CP437, ANSI = Windows-1252, wide = UTF-16, and UTF-8
// for names that archives flag as UTF-8 and for every name handed to the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pc {

// OEM to ANSI in place, byte for byte; characters that ANSI lacks become their nearest look-alike.
std::string OemToAnsi(std::string_view oem);
std::u16string AnsiToWide(std::string_view ansi);
// Characters that ANSI lacks become '?'.
std::string WideToAnsi(std::u16string_view wide);
// Invalid sequences become U+FFFD.
std::u16string Utf8ToWide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view wide);

std::u16string WideLowerCase(std::u16string_view wide);
std::u16string WideUpperCase(std::u16string_view wide);

// A stored entry name: bytes up to the first zero byte; UTF-8 when the entry carries the UTF-8 flag,
// else OEM (when oemFileNames) or ANSI.
std::u16string DecodeStoredName(std::string_view raw, bool utf8Flag, bool oemFileNames);

bool IsValidUtf8(std::string_view bytes);

// An entry's stored name by its header: UTF-8 when flagged so, or when made on a Unix or macOS host and
// its bytes are valid UTF-8 with at least one non-ASCII character; otherwise as DecodeStoredName reads it.
std::u16string DecodeEntryName(std::string_view raw, std::uint16_t flags, std::uint16_t versionMadeBy,
                               bool oemFileNames);

} // namespace pc
