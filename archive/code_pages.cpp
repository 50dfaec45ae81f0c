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

bool IsValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t c = 0;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            c = b & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
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
