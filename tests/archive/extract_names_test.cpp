// Mask matching, the unsafe-name test and name conversion.
#include "archive/extract_names.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

TEST(WildcardMatch, Rules) {
    struct Case {
        std::u16string name, pattern;
        bool ignoreCase, match;
    } cases[] = {
        {u"anything", u"*.*", false, true},
        {u"", u"*.*", false, true},
        {u"", u"*", false, true},
        {u"", u"", false, true},
        {u"", u"?", false, false},
        {u"a", u"", false, false},
        {u"abc", u"abc", false, true},
        {u"abc", u"ABC", false, false},
        {u"abc", u"ABC", true, true},
        {u"abc", u"a?c", false, true},
        {u"ac", u"a?c", false, false},
        {u"abc", u"*c", false, true},
        {u"abc", u"a*", false, true},
        {u"abc", u"*b*", false, true},
        {u"abc", u"*d", false, false},
        {u"a", u"a*", false, true},
        // A star is followed by at least one character of the name unless the rest of the pattern is a
        // lone star: "a**" and "a*?" need more than "a".
        {u"a", u"a**", false, false},
        {u"ab", u"a**", false, true},
        {u"a", u"a*?", false, false},
        {u"ab", u"*?", false, true},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, true},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::WildcardMatch(c.name, c.pattern, c.ignoreCase), c.match)
            << std::string(c.name.begin(), c.name.end()) << " ~ "
            << std::string(c.pattern.begin(), c.pattern.end());
}

TEST(WildcardMatch, ManyStarsStayFast) {
    const std::u16string name(20000, u'a');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pc::WildcardMatch(name, u"*a*a*a*a*a*a*a*a*a*a*b", false));
    EXPECT_TRUE(pc::WildcardMatch(name + u"b", u"*a*a*a*a*a*a*a*a*a*a*b", false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(MatchesMask, Rules) {
    struct Case {
        std::u16string name, mask;
        bool match;
    } cases[] = {
        {u"a.txt", u"*.*", true},
        {u"README", u"*.*", true},
        {u"dir/sub/x.bin", u"*.*", true},
        {u"a.txt", u"*.TXT", true},
        {u"A.TXT", u"*.txt", true},
        {u"a.txt", u"?.txt", true},
        {u"ab.txt", u"?.txt", false},
        // A mask ending in '.' selects names without an extension.
        {u"README", u"*.", true},
        {u"a.", u"*.", true},
        {u"a.txt", u"*.", false},
        {u"dir.d/README", u"*.", true},
        {u"x.txt", u"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::MatchesMask(c.name, c.mask), c.match)
            << std::string(c.name.begin(), c.name.end()) << " ~ "
            << std::string(c.mask.begin(), c.mask.end());
}

TEST(EntryNames, FileNamePartAndSearchMask) {
    EXPECT_EQ(pc::FileNamePart(u"dir/sub\\a.txt"), u"a.txt");
    EXPECT_EQ(pc::FileNamePart(u"C:a.txt"), u"a.txt");
    EXPECT_EQ(pc::FileNamePart(u"a.txt"), u"a.txt");
    EXPECT_EQ(pc::FileNamePart(u"dir/"), u"");
    EXPECT_EQ(pc::PrepareSearchMask(u"*.*"), u"*.*");
    EXPECT_EQ(pc::PrepareSearchMask(u"C:\\game\\*.dat"), u"/game/*.dat");
    EXPECT_EQ(pc::PrepareSearchMask(u"\\\\server\\share\\data\\*.dat"), u"data/*.dat");
    EXPECT_EQ(pc::PrepareSearchMask(u"data\\*.dat"), u"data/*.dat");
}

TEST(EntryNames, UnsafeNames) {
    struct Case {
        std::u16string name;
        bool unsafe;
    } cases[] = {
        {u"a.txt", false},
        {u"dir/sub/a.txt", false},
        {u"dir\\sub\\a.txt", false},
        {u"dir/", false},
        {u"dir\\", false},
        {u"./a.txt", false},
        {u"a..b/c..", false},
        {u"name:with:colons", true},
        {u"game.exe:payload", true},
        {u"dir/game.exe::$DATA", true},
        {u"/etc/passwd", true},
        {u"\\windows\\x", true},
        {u"C:/x/y.dat", true},
        {u"c:x.dat", true},
        {u"dir//a.txt", true},
        {u"dir\\\\a.txt", true},
        {u"dir/\\a.txt", true},
        {u"../a.txt", true},
        {u"dir/../../a.txt", true},
        {u"dir\\..\\a.txt", true},
        {u"dir/..", true},
        {u"..", true},
        {std::u16string(u"a\0b", 3), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::IsUnsafeEntryName(c.name), c.unsafe) << std::string(c.name.begin(), c.name.end());
}

} // namespace
