#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <utime.h>

namespace {

using pc::test::TempDir;

TEST(ParseInteger, AcceptsTheIntegerForms) {
    struct Case {
        std::string text;
        std::int32_t value;
    } cases[] = {
        {"42", 42},
        {"  42", 42},
        {"-42", -42},
        {"+7", 7},
        {"007", 7},
        {"$1F", 31},
        {"$ff", 255},
        {"0x10", 16},
        {"0X10", 16},
        {"X10", 16},
        {"x10", 16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT_MIN},
        {"$0000000000000001", 1},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-0", 0},
        {"$00", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseInteger, RejectsEverythingElseNamingTheWholeText) {
    const std::string bad[] = {
        "42 ", "-$10", "+0x10", "$100000000", "2147483648", "-2147483649", "21474836470",
        "",    "-",    "+",     "   ",        "$",          "0x",          "x",
        "\t5", "4 2",  "1e3",   "0x1G",       "$-1",        "12\n",        std::string("1\0", 2),
    };
    for (const auto& text : bad) {
        try {
            pc::ParseInteger(text);
            ADD_FAILURE() << "accepted \"" << text << '"';
        } catch (const pc::EConvertError& e) {
            EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
        }
    }
}

TEST(FormatInteger, PlainDecimal) {
    EXPECT_EQ(pc::FormatInteger(0), "0");
    EXPECT_EQ(pc::FormatInteger(42), "42");
    EXPECT_EQ(pc::FormatInteger(-7), "-7");
    EXPECT_EQ(pc::FormatInteger(INT_MIN), "-2147483648");
    EXPECT_EQ(pc::FormatInteger(INT_MAX), "2147483647");
}

TEST(FileNames, SplitAtTheLastSlash) {
    struct Case {
        const char* name;
        const char* path;
        const char* file;
    } cases[] = {
        {"/opt/game/launcher", "/opt/game/", "launcher"},
        {"/opt/game/", "/opt/game/", ""},
        {"launcher", "", "launcher"},
#ifdef _WIN32
        // Windows names: '\\' and ':' separate as well.
        {"C:\\Games\\launcher.exe", "C:\\Games\\", "launcher.exe"},
        {"C:launcher.exe", "C:", "launcher.exe"},
        {"C:\\Games/sub\\", "C:\\Games/sub\\", ""},
#else
        {"C:\\Games\\launcher.exe", "",
         "C:\\Games\\launcher.exe"}, // backslash and colon are plain bytes here
#endif
        {"/", "/", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pc::PathPart(c.name), c.path) << c.name;
        EXPECT_EQ(pc::NamePart(c.name), c.file) << c.name;
    }
}

TEST(FileNames, ExecutablePathNamesThisTestProgram) {
    const std::string self = pc::ExecutablePath();
    ASSERT_FALSE(self.empty());
#ifdef _WIN32
    ASSERT_GE(self.size(), 3u);
    EXPECT_EQ(self.substr(1, 2), ":\\");
    EXPECT_EQ(pc::NamePart(self), "framework_tests.exe");
#else
    EXPECT_EQ(self.front(), '/');
    EXPECT_EQ(pc::NamePart(self), "framework_tests");
#endif
    EXPECT_TRUE(pc::IsExistingFile(self));
}

void SetModificationTime(const std::string& path, time_t when) {
    struct utimbuf times {
        when, when
    };
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(IsExistingFile, LiteralNamesOfRegularFilesWhateverTheirDate) {
    TempDir dir;
    const std::string file = dir.Write("game.bin", "x");
#ifndef _WIN32
    dir.Write("a?c", "x"); // Windows names cannot hold '?'
#endif
    std::filesystem::create_directory(dir / "folder");

    EXPECT_TRUE(pc::IsExistingFile(file));
    EXPECT_FALSE(pc::IsExistingFile(dir / "folder"));
    EXPECT_FALSE(pc::IsExistingFile(dir / "missing"));
    EXPECT_FALSE(pc::IsExistingFile(""));
    // No wildcard matching: the pattern characters are part of the name.
    EXPECT_FALSE(pc::IsExistingFile(dir / "game.*"));
    EXPECT_FALSE(pc::IsExistingFile(dir / "abc"));
#ifndef _WIN32
    EXPECT_TRUE(pc::IsExistingFile(dir / "a?c"));
#endif

    // Files stamped at the epoch (reproducible builds) or far in the future still exist.
    SetModificationTime(file, 0);
    EXPECT_TRUE(pc::IsExistingFile(file));
    SetModificationTime(file, 315532799); // one second before 1980
    EXPECT_TRUE(pc::IsExistingFile(file));
    SetModificationTime(file, 4354819200); // the year 2108
    EXPECT_TRUE(pc::IsExistingFile(file));
}

TEST(RemoveFile, TrueOnlyWhenAFileWasDeleted) {
    TempDir dir;
    const std::string file = dir.Write("patch.zip", "PK");
    std::filesystem::create_directory(dir / "folder");
    EXPECT_TRUE(pc::RemoveFile(file));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(pc::RemoveFile(file));
    EXPECT_FALSE(pc::RemoveFile(dir / "folder"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
}

} // namespace

namespace {

TEST(ApplicationTitle, FileNameUpToTheFirstDotWithTheRestInLowerCase) {
    EXPECT_EQ(pc::InitialApplicationTitle("/opt/game/PATCH-Client.bin"), "Patch-client");
    EXPECT_EQ(pc::InitialApplicationTitle("/opt/game/patch-client"), "patch-client");
    EXPECT_EQ(pc::InitialApplicationTitle("/opt/g.d/Launcher.x.y"), "Launcher");
    EXPECT_EQ(pc::InitialApplicationTitle(".hidden"), "");
}

} // namespace
