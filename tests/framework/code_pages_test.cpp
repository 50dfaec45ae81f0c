// OEM names to ANSI: both editions give every byte what Windows' own conversion gives it. Under Wine the
// system's conversion is held against the Linux edition's table over the whole byte range; on Linux the
// table is held against the C library's own code page tables where ANSI has the character.
#include "framework/code_pages.h"
#include "framework/oem_to_ansi_table.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// <windows.h> names OemToCharA OemToAnsi with a macro; ours is meant here.
#undef OemToAnsi
#else
#include <iconv.h>
#endif

#include <cstdio>
#include <string>

namespace {

#ifdef _WIN32

TEST(OemToAnsi, TheSystemAndTheLinuxTableAgreeOnEveryByte) {
    if (::GetOEMCP() != 437 || ::GetACP() != 1252)
        GTEST_SKIP() << "the Linux edition's code pages are OEM 437 and ANSI 1252; this system has "
                     << ::GetOEMCP() << "/" << ::GetACP();
    std::string all(256, '\0');
    for (int b = 0; b < 256; ++b)
        all[static_cast<std::size_t>(b)] = static_cast<char>(b);
    const std::string converted = pc::OemToAnsi(all);
    ASSERT_EQ(converted.size(), 256u);
    bool agree = true;
    for (int b = 0; b < 256; ++b) {
        const int expected = b < 0x80 ? b : pc::kOemToAnsiHigh[static_cast<std::size_t>(b - 0x80)];
        char at[8];
        std::snprintf(at, sizeof at, "0x%02X", b);
        EXPECT_EQ(static_cast<unsigned char>(converted[static_cast<std::size_t>(b)]), expected) << at;
        agree = agree && static_cast<unsigned char>(converted[static_cast<std::size_t>(b)]) == expected;
    }
    if (!agree) {
        // The system's table in the form of framework/oem_to_ansi_table.h, for a system that differs.
        std::string table;
        for (int b = 0x80; b < 0x100; ++b) {
            char item[8];
            std::snprintf(item, sizeof item, "0x%02X,",
                          static_cast<unsigned char>(converted[static_cast<std::size_t>(b)]));
            table += std::string(item) + ((b & 15) == 15 ? "\n" : " ");
        }
        ADD_FAILURE() << "this system's OEM-to-ANSI bytes 0x80..0xFF:\n" << table;
    }
}

#else

// Bytes from code page `from` to code page `to` without any best fit: empty when `to` lacks a character.
std::string Convert(const char* from, const char* to, const std::string& bytes) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string();
    std::string in = bytes;
    std::string out(16, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    const std::size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0)
        return std::string();
    out.resize(out.size() - outLeft);
    return out;
}

TEST(OemToAnsi, CharactersAnsiHasAreThemselvesAndTheRestWindowsBestFit) {
    int exact = 0;
    for (int b = 0; b < 256; ++b) {
        const std::string oem(1, static_cast<char>(b));
        const std::string ours = pc::OemToAnsi(oem);
        char at[8];
        std::snprintf(at, sizeof at, "0x%02X", b);
        ASSERT_EQ(ours.size(), 1u) << at;
        const std::string unicode = Convert("CP437", "UTF-8", oem);
        ASSERT_FALSE(unicode.empty()) << at;
        const std::string ansi = Convert("UTF-8", "CP1252", unicode);
        if (!ansi.empty()) {
            ++exact;
            EXPECT_EQ(ours, ansi) << at;
        } else {
            // A best fit is a printable ANSI character, never a control or the '?' of no fit at all.
            const auto fit = static_cast<unsigned char>(ours[0]);
            EXPECT_TRUE(fit >= 0x20 && fit != 0x7F && fit != '?' &&
                        !(fit >= 0x80 && fit < 0xA0 && fit != 0x98))
                << at;
        }
    }
    EXPECT_EQ(exact, 128 + 54); // ASCII, and the letters and signs of the upper half that ANSI has

    // The best fits that names show most: line drawing, shades and blocks, Greek and mathematical signs.
    struct Case {
        unsigned char oem;
        unsigned char ansi;
    } cases[] = {
        {0xB3, 0xA6}, {0xBA, 0xA6}, {0xC4, '-'},  {0xCD, '-'},  {0xDA, '+'},  {0xC9, '+'},  {0xC5, '+'},
        {0xB0, 0xA6}, {0xDB, 0xA6}, {0xDC, '_'},  {0xDF, 0xAF}, {0xFE, 0xA6}, {0xE0, 'a'},  {0xE3, 'p'},
        {0xEC, '8'},  {0xF0, '='},  {0xF7, 0x98}, {0xF9, 0xB7}, {0x9E, 'P'},  {0xA9, 0xAC}, {0xFB, 'v'},
    };
    for (const Case& c : cases)
        EXPECT_EQ(static_cast<unsigned char>(pc::OemToAnsi(std::string(1, static_cast<char>(c.oem)))[0]),
                  c.ansi)
            << static_cast<int>(c.oem);
}

#endif

} // namespace
