#include "framework/exceptions.h"
#include "framework/line_list.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <vector>

namespace {

using pc::TStringList;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using Lines = std::vector<std::string>;

Lines ContentOf(const TStringList& list) {
    Lines out;
    for (int i = 0; i < list.LineCount(); ++i)
        out.push_back(list.LineAt(i));
    return out;
}

TEST(LineList, LoadSplitsAtEveryKindOfLineBreak) {
    struct Case {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"\r\n", {""}},
        {"\n\n", {"", ""}},
        {"\r", {""}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {std::string("a\0b\r\nc", 6), {"a"}},
        {std::string("\0abc", 4), {}},
        {"\xEF\xBB\xBF"
         "12\r\n",
         {"\xEF\xBB\xBF"
          "12"}}, // a byte-order mark stays part of the line
        {"  7 \t\r\n", {"  7 \t"}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.Write("list.ini", c.bytes);
        TStringList list;
        list.AppendLine("old content");
        list.LoadLines(path);
        EXPECT_EQ(ContentOf(list), c.lines) << testing::PrintToString(c.bytes);
        EXPECT_EQ(TStringList::SplitLines(c.bytes), c.lines);
    }
}

TEST(LineList, SaveWritesCrLfAfterEveryLine) {
    struct Case {
        Lines lines;
        std::string bytes;
    } cases[] = {
        {{}, ""},
        {{""}, "\r\n"},
        {{"a", "b"}, "a\r\nb\r\n"},
        {{"42", "", "7"}, "42\r\n\r\n7\r\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        TStringList list;
        for (const auto& line : c.lines)
            list.AppendLine(line);
        list.SaveLines(dir / "tqm_patch.ini");
        EXPECT_EQ(ReadFileBytes(dir / "tqm_patch.ini"), c.bytes);
    }
}

TEST(LineList, LoadAndSaveRoundTrip) {
    TempDir dir;
    const std::string path = dir.Write("tqm_patch.ini", "a\nb");
    TStringList list;
    list.LoadLines(path);
    list.SaveLines(path);
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\n");
    list.LoadLines(path);
    EXPECT_EQ(ContentOf(list), (Lines{"a", "b"}));
}

TEST(LineList, FailedLoadRaisesAndKeepsTheList) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    for (const std::string& path : {dir / "missing.ini", dir / "folder"}) {
        TStringList list;
        list.AppendLine("kept");
        try {
            list.LoadLines(path);
            ADD_FAILURE() << path;
        } catch (const pc::EFOpenError& e) {
            EXPECT_EQ(e.Message(), "Cannot open file " + path);
        }
        EXPECT_EQ(ContentOf(list), Lines{"kept"});
    }
}

TEST(LineList, FindLineComparesWholeLinesIgnoringCase) {
    TStringList list;
    for (const char* line : {"012", "12 ", "12", "ABC", "12"})
        list.AppendLine(line);
    EXPECT_EQ(list.FindLine("12"), 2);
    EXPECT_EQ(list.FindLine("Abc"), 3);
    EXPECT_EQ(list.FindLine("abc"), 3);
    EXPECT_EQ(list.FindLine("1"), -1);
    EXPECT_EQ(list.FindLine(""), -1);
    EXPECT_EQ(TStringList().FindLine("12"), -1);
}

TEST(LineList, AppendKeepsTextAndLineAtChecksTheIndex) {
    TStringList list;
    EXPECT_EQ(list.AppendLine("a\r\nb"), 0);
    EXPECT_EQ(list.AppendLine(""), 1);
    EXPECT_EQ(list.LineCount(), 2);
    EXPECT_EQ(list.LineAt(0), "a\r\nb");
    for (int bad : {-1, 2, 100}) {
        try {
            list.LineAt(bad);
            ADD_FAILURE() << bad;
        } catch (const pc::EStringListError& e) {
            EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(bad) + ")");
        }
    }
}

// Nothing but the target may be left in the directory after a save, whether it succeeded or not.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(LineList, SaveThatCannotCreateLeavesTheOldFile) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    TStringList list;
    list.AppendLine("43");
    for (const std::string& path : {dir / "no/such/dir/tqm_patch.ini", dir / "folder"}) {
        try {
            list.SaveLines(path);
            ADD_FAILURE() << path;
        } catch (const pc::EFCreateError& e) {
            EXPECT_EQ(e.Message(), "Cannot create file " + path);
        }
    }
    EXPECT_EQ(Entries(dir.Path()), Lines{"folder"});
}

TEST(LineList, SaveOnAFullDiskRaisesAndKeepsTheOldLedgerWhole) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file size limit to stand in for a full disk";
#else
    TempDir dir;
    const std::string old = "1\r\n2\r\n3\r\n";
    const std::string path = dir.Write("tqm_patch.ini", old);
    ::chmod(path.c_str(), 0640);
    TStringList list;
    for (int i = 0; i < 1000; ++i)
        list.AppendLine(std::to_string(i));
    {
        pc::test::FileSizeLimit full(100);
        EXPECT_THROW(
            try { list.SaveLines(path); } catch (const pc::EWriteError& e) {
                EXPECT_EQ(e.Message(), "Stream write error");
                throw;
            },
            pc::EWriteError);
    }
    EXPECT_EQ(ReadFileBytes(path), old);
    EXPECT_EQ(Entries(dir.Path()), Lines{"tqm_patch.ini"});

    // Once there is room again the save replaces the file and keeps its permissions.
    list.SaveLines(path);
    TStringList back;
    back.LoadLines(path);
    EXPECT_EQ(back.LineCount(), 1000);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);
    EXPECT_EQ(Entries(dir.Path()), Lines{"tqm_patch.ini"});
#endif
}

// A save killed before its rename leaves its temporary beside the file; the next save removes such
// leftovers, and nothing that merely looks alike: least of all a file a patch brought, which no temporary's
// name can be (a '\\' here, a final '.' on Windows, which names extracted from entries never keep).
TEST(LineList, SaveRemovesTheTemporariesOfKilledSaves) {
    TempDir dir;
    const std::string path = dir.Write("tqm_patch.ini", "1\r\n");
#ifdef _WIN32
    const Lines leftovers = {".tqm_patch.ini.0123456789ab.tmp.", ".tqm_patch.ini.ffffffffffff.tmp."};
#else
    const Lines leftovers = {".tqm_patch.ini\\0123456789ab.tmp", ".tqm_patch.ini\\ffffffffffff.tmp"};
#endif
    Lines others = {".tqm_patch.ini.123.tmp", ".other.ini.0123456789ab.tmp", "tqm_patch.ini.0123456789ab.tmp",
                    ".tqm_patch.ini.0123456789ab.tmp.keep", ".tqm_patch.ini.0123456789ab.tmp"};
#ifndef _WIN32
    others.push_back(".tqm_patch.ini.0123456789AB.tmp"); // on Windows the same name as a patch's file
#endif
    std::sort(others.begin(), others.end());
    for (const auto& name : leftovers) {
        // Through the "\\?\" form on Windows, which keeps a final dot.
        std::filesystem::path full = std::filesystem::absolute(dir / name).make_preferred();
#ifdef _WIN32
        full = L"\\\\?\\" + full.wstring();
#endif
        std::ofstream(full, std::ios::binary) << "half a ledger";
    }
    for (const auto& name : others)
        dir.Write(name, "not ours");
    ASSERT_EQ(Entries(dir.Path()).size(), leftovers.size() + others.size() + 1);
    TStringList list;
    list.AppendLine("2");
    list.SaveLines(path);
    Lines expected = others;
    expected.push_back("tqm_patch.ini");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(dir.Path()), expected);
}

// What a replaced file's mode becomes: its own permission bits, never set-id or sticky bits; a link is
// replaced by a plain file that takes nothing from the link's target.
TEST(LineList, SaveTakesOnlyPermissionBitsAndNothingThroughALink) {
#ifdef _WIN32
    GTEST_SKIP() << "permission bits and symbolic links are POSIX matters";
#else
    struct Case {
        const char* what;
        bool link;
        ::mode_t before;
        ::mode_t after;
    } cases[] = {
        {"plain file", false, 0640, 0640},
        {"set-id bits", false, 06755, 0755},
        {"sticky", false, 01600, 0600},
        {"link to a set-id file", true, 04755, 0644},
    };
    const ::mode_t mask = ::umask(022);
    for (const Case& c : cases) {
        TempDir dir;
        const std::string target = dir.Write("target.ini", "1\r\n");
        ASSERT_EQ(::chmod(target.c_str(), c.before), 0);
        const std::string path = c.link ? dir / "tqm_patch.ini" : target;
        if (c.link)
            std::filesystem::create_symlink(target, path);
        TStringList list;
        list.AppendLine("2");
        list.SaveLines(path);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
        EXPECT_EQ(st.st_mode & 07777, c.after) << c.what;
        if (c.link) {
            EXPECT_EQ(ReadFileBytes(target), "1\r\n") << "the link's target is left alone";
        }
    }
    ::umask(mask);
#endif
}

} // namespace
