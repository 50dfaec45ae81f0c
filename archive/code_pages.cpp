#include "archive/code_pages.h"

#include <algorithm>

#include <array>
#include <cwctype>
#include <locale.h>

namespace pc {
namespace {

// CP437 bytes 0x80..0xFF as Unicode.
constexpr std::array<char16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Windows-1252 bytes 0x80..0x9F as Unicode; the five unassigned bytes map to the C1 controls of equal value.
constexpr std::array<char16_t, 32> kAnsiC1 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// ANSI byte of a character, 0 when ANSI has none.
unsigned char AnsiByteOf(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<unsigned char>(c);
    for (std::size_t i = 0; i < kAnsiC1.size(); ++i)
        if (kAnsiC1[i] == c)
            return static_cast<unsigned char>(0x80 + i);
    return 0;
}

// Look-alikes for the CP437 graphics that ANSI lacks: line drawing becomes '+', '-' and '|', blocks '#',
// Greek and mathematical signs the nearest Latin letter or sign.
char LookAlike(char16_t c) {
    switch (c) {
    case 0x2502: // single and double verticals
    case 0x2551:
        return '|';
    case 0x2500: // single and double horizontals
    case 0x2550:
        return '-';
    case 0x2591:
    case 0x2592:
    case 0x2593:
    case 0x2588:
    case 0x2584:
    case 0x258C:
    case 0x2590:
    case 0x2580:
    case 0x25A0:
        return '#';
    case 0x20A7:
        return 'P';
    case 0x2310:
        return static_cast<char>(0xAC);
    case 0x03B1:
        return 'a';
    case 0x0393:
        return 'G';
    case 0x03C0:
        return 'p';
    case 0x03A3:
        return 'S';
    case 0x03C3:
        return 's';
    case 0x03C4:
        return 't';
    case 0x03A6:
        return 'F';
    case 0x0398:
        return 'T';
    case 0x03A9:
        return 'O';
    case 0x03B4:
        return 'd';
    case 0x221E:
        return '8';
    case 0x03C6:
        return 'f';
    case 0x03B5:
        return 'e';
    case 0x2229:
        return 'n';
    case 0x2261:
    case 0x2265:
    case 0x2264:
        return '=';
    case 0x2320:
        return '(';
    case 0x2321:
        return ')';
    case 0x2248:
        return '~';
    case 0x2219:
        return static_cast<char>(0xB7);
    case 0x221A:
        return 'v';
    case 0x207F:
        return 'n';
    default:
        return (c >= 0x2500 && c <= 0x257F) ? '+' : '?'; // corners and junctions
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

// Case mapping needs the full Unicode tables; the C.UTF-8 locale of the C library carries them without
// touching the process's global locale.
locale_t CaseLocale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

std::u16string MapCase(std::u16string_view wide, bool upper) {
    std::u16string out(wide);
    locale_t locale = CaseLocale();
    for (char16_t& c : out) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue; // characters outside the basic plane keep their case
        wint_t mapped = c;
        if (locale)
            mapped = upper ? towupper_l(c, locale) : towlower_l(c, locale);
        else if (!upper && c >= u'A' && c <= u'Z')
            mapped = c + 32;
        else if (upper && c >= u'a' && c <= u'z')
            mapped = c - 32;
        if (mapped < 0x10000 && !(mapped >= 0xD800 && mapped <= 0xDFFF))
            c = static_cast<char16_t>(mapped);
    }
    return out;
}

} // namespace

std::string OemToAnsi(std::string_view oem) {
    std::string out(oem);
    for (char& ch : out) {
        auto b = static_cast<unsigned char>(ch);
        if (b < 0x80)
            continue;
        char16_t c = kCp437High[b - 0x80];
        unsigned char ansi = AnsiByteOf(c);
        ch = ansi ? static_cast<char>(ansi) : LookAlike(c);
    }
    return out;
}

std::u16string AnsiToWide(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char ch : ansi) {
        auto b = static_cast<unsigned char>(ch);
        out += (b >= 0x80 && b < 0xA0) ? kAnsiC1[b - 0x80] : static_cast<char16_t>(b);
    }
    return out;
}

std::string WideToAnsi(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char16_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF)
            ++i; // one character outside the basic plane, one '?'
        unsigned char b = AnsiByteOf(c);
        out += (b || c == 0) ? static_cast<char>(b) : '?';
    }
    return out;
}

std::u16string Utf8ToWide(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    const std::size_t n = utf8.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(utf8[k]); };
    while (i < n) {
        unsigned char b = byte(i);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t c = 0;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            c = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0; // no overlong forms
            if (b == 0xED)
                hi = 0x9F; // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            c = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            if (b == 0xF4)
                hi = 0x8F; // nothing above U+10FFFF
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k < length; ++k) {
            if (i + k >= n)
                break;
            unsigned char t = byte(i + k);
            unsigned char low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
            if (t < low || t > high)
                break;
            c = (c << 6) | (t & 0x3F);
        }
        if (k < length) {
            out += u'\uFFFD'; // the maximal valid prefix becomes one replacement character
            i += k;
            continue;
        }
        AppendUtf16(out, c);
        i += length;
    }
    return out;
}

std::string WideToUtf8(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string WideLowerCase(std::u16string_view wide) {
    return MapCase(wide, false);
}

std::u16string WideUpperCase(std::u16string_view wide) {
    return MapCase(wide, true);
}

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
