// The system's code pages: OEM and ANSI 8-bit text and UTF-16, and the case mapping of wide names. The
// Linux edition carries the tables of OEM = CP437 and ANSI = Windows-1252; the Windows edition asks the
// system, so the results there follow the code pages the system is set to.
#pragma once

#include <string>
#include <string_view>

namespace pc {

// OEM to ANSI in place, byte for byte; characters that ANSI lacks become their nearest look-alike.
std::string OemToAnsi(std::string_view oem);
std::u16string AnsiToWide(std::string_view ansi);
// Characters that ANSI lacks become '?'.
std::string WideToAnsi(std::u16string_view wide);

// Well-formed UTF-8: no stray or missing continuation bytes, overlong forms, surrogates or values past
// U+10FFFF.
bool IsValidUtf8(std::string_view bytes);
// Invalid sequences become U+FFFD.
std::u16string Utf8ToWide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view wide);

std::u16string WideLowerCase(std::u16string_view wide);
std::u16string WideUpperCase(std::u16string_view wide);

// The locale's comparison of two 8-bit texts in the system code page with letter case ignored.
bool EqualIgnoringCase(const std::string& a, const std::string& b);

// The core's 8-bit names (file names, command lines) as the archive component's wide names and back: on
// Linux the 8-bit names are UTF-8, on Windows they are in the system's ANSI code page.
std::u16string SystemToWide(std::string_view name);
std::string WideToSystem(std::u16string_view name);

} // namespace pc
