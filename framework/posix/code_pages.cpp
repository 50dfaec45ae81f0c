// The code pages of the Linux edition: OEM = CP437 and ANSI = Windows-1252 from our own tables, UTF-8 as
// the system's 8-bit names, and case mapping from the C library's Unicode tables.
#include "framework/code_pages.h"

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

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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

std::u16string WideLowerCase(std::u16string_view wide) {
    return MapCase(wide, false);
}

std::u16string WideUpperCase(std::u16string_view wide) {
    return MapCase(wide, true);
}

// Letter case of the ASCII letters only; the launcher's own lines (decimal ids) are plain ASCII.
bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return true;
}

std::u16string SystemToWide(std::string_view name) {
    return Utf8ToWide(name);
}

std::string WideToSystem(std::u16string_view name) {
    return WideToUtf8(name);
}

} // namespace pc
