// The code pages of the Linux edition: OEM = CP437 and ANSI = Windows-1252 from our own tables (OEM to
// ANSI as Windows converts it), UTF-8 as the system's 8-bit names, and case mapping from the C library's
// Unicode tables.
#include "framework/code_pages.h"

#include "framework/oem_to_ansi_table.h"

#include <array>
#include <cwctype>
#include <locale.h>

namespace pc {
namespace {

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
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80)
            ch = static_cast<char>(kOemToAnsiHigh[b - 0x80]);
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
