#include "archive/code_pages.h"

#include <algorithm>

namespace pc {

std::u16string DecodeStoredName(std::string_view raw, bool utf8Flag, bool oemFileNames) {
    std::string_view bytes = raw.substr(0, raw.find('\0'));
    if (utf8Flag)
        return Utf8ToWide(bytes);
    if (oemFileNames)
        return AnsiToWide(OemToAnsi(bytes));
    return AnsiToWide(bytes);
}

std::u16string DecodeEntryName(std::string_view raw, std::uint16_t flags, std::uint16_t versionMadeBy,
                               bool oemFileNames) {
    std::string_view bytes = raw.substr(0, raw.find('\0'));
    // Unix and macOS tools store names in the locale's UTF-8 without saying so; a name that reads as UTF-8
    // and is not plain ASCII is taken as such when the entry comes from those hosts.
    const int host = versionMadeBy >> 8;
    const bool unixHost = host == 3 || host == 19;
    const bool nonAscii =
        std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const bool utf8 = (flags & 0x0800) != 0 || (unixHost && nonAscii && IsValidUtf8(bytes));
    return DecodeStoredName(bytes, utf8, oemFileNames);
}

} // namespace pc
