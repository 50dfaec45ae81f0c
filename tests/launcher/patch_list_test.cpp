#include "launcher/list/patch_list.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace {

using pc::test::ReadFileBytes;
using pc::test::TempDir;

// The table is far too large for the stack.
std::unique_ptr<pc::TPatchList> NewTable() {
    return std::make_unique<pc::TPatchList>();
}

TEST(ParsePatchList, OneLineRows) {
    struct Case {
        const char* line;
        std::int32_t id;
        const char* url;
        std::int32_t size;
        const char* run;
        std::int32_t group;
    } cases[] = {
        {"1\thttp://h/p1.zip\t1000\t\t0\t", 1, "http://h/p1.zip", 1000, "", 0},
        {"42\thttp://h/a.zip\t900\tsetup.sh\t7\t", 42, "http://h/a.zip", 900, "setup.sh", 7},
        {"$1F\tu\tx10\t\t0x2\t", 31, "u", 16, "", 2},
        {"  5\tu\t1\tr\t-3\t", 5, "u", 1, "r", -3},
        {"3\t u v \t2\t run me \t0\tanything after the fifth TAB\tis ignored", 3, " u v ", 2, " run me ", 0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto table = NewTable();
        pc::ParsePatchList(dir.Write("list.ini", std::string(c.line) + "\r\n"), *table);
        ASSERT_EQ(table->high, 0) << c.line;
        const pc::TPatchRec& row = table->items[0];
        EXPECT_EQ(row.id, c.id) << c.line;
        EXPECT_EQ(row.url, c.url) << c.line;
        EXPECT_EQ(row.size, c.size) << c.line;
        EXPECT_EQ(row.run, c.run) << c.line;
        EXPECT_EQ(row.group, c.group) << c.line;
    }
}

// After the fifth TAB: a SHA-256 ended by a TAB or the line's end is taken, lower-cased; anything else
// there is ignored as before.
TEST(ParsePatchList, SixthFieldCarriesTheArchiveSha256) {
    const std::string lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    std::string upper = lower;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string after; // the text after the fifth TAB
        std::string sha256;
    } cases[] = {
        {lower, lower},        {upper + "\tnotes", lower}, {lower + "\t", lower},
        {lower.substr(1), ""}, {lower + "0", ""},          {"z" + lower.substr(1), ""},
        {"\t" + lower, ""},    {" " + lower, ""},          {"", ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string file = dir.Write("list.txt", "1\thttp://h/a.zip\t5\t\t0\t" + c.after + "\r\n");
        auto table = std::make_unique<pc::TPatchList>();
        pc::ParsePatchList(file, *table);
        ASSERT_EQ(table->high, 0) << c.after;
        EXPECT_EQ(table->items[0].sha256, c.sha256) << c.after;
        EXPECT_EQ(table->items[0].group, 0);
    }
}

// Tags after the sixth field: only `key=value` fields with a plain key count, in order; the rest are notes.
TEST(SplitPatchRow, TagsAfterTheSixthField) {
    using Tags = std::vector<std::pair<std::string, std::string>>;
    const struct {
        std::string after; // the text after the fifth TAB
        Tags tags;
    } cases[] = {
        {"abc\tfrom=3\tavailable=2026-12-10T18:00:00Z",
         {{"from", "3"}, {"available", "2026-12-10T18:00:00Z"}}},
        {"\trollout=25\t", {{"rollout", "25"}}},
        {"\tnote\t=5\tKey=1\ta b=2\tx-y=a=b", {{"x-y", "a=b"}}},
        {"from=3", {}}, // the sixth field itself is never a tag
        {"\t\t\tfrom=", {{"from", ""}}},
    };
    for (const auto& c : cases) {
        const pc::TPatchRowText row = pc::SplitPatchRow("1\thttp://h/a.zip\t5\t\t0\t" + c.after);
        EXPECT_EQ(row.tags, c.tags) << c.after;
    }
    const pc::TPatchRowText row = pc::SplitPatchRow("1\tu\t5\t\t0\t\tfrom=3\tfrom=4");
    EXPECT_EQ(pc::RowTag(row, "from"), "3");
    EXPECT_EQ(pc::RowTag(row, "rollout"), std::nullopt);
}

TEST(ParsePatchList, BadRowsRaiseTheConversionErrorWithTheFieldText) {
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"1\thttp://h/p1.zip\t1000\t\t0", "'' is not a valid integer value"}, // no TAB after the group
        {" /1\tu\t1\t\t0\t", "' /1' is not a valid integer value"},           // a blank before the slash
        {"7 \tu\t1\t\t0\t", "'7 ' is not a valid integer value"},
        {"7\tu\tbig\t\t0\t", "'big' is not a valid integer value"},
        {"<html><body>404 Not Found</body></html>", "'' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto table = NewTable();
        const std::string path = dir.Write("list.ini", std::string(c.line) + "\r\n");
        try {
            pc::ParsePatchList(path, *table);
            ADD_FAILURE() << "no error for " << c.line;
        } catch (const pc::EConvertError& e) {
            EXPECT_EQ(e.Message(), c.message) << c.line;
        }
    }
}

TEST(ParsePatchList, SkipsEmptyAndSlashLinesWithAnyLineBreaks) {
    TempDir dir;
    auto table = NewTable();
    const std::string list = "// patches for the test server\r\n"
                             "\r\n"
                             "1\ta\t10\t\t0\t\n"
                             "/2\tb\t20\t\t0\t\r"
                             "3\tc\t30\t\t5\t\r\n"
                             "/\n"
                             "4\td\t40\t\t5\t";
    pc::ParsePatchList(dir.Write("list.ini", list), *table);
    ASSERT_EQ(table->high, 2);
    EXPECT_EQ(table->items[0].id, 1);
    EXPECT_EQ(table->items[1].id, 3);
    EXPECT_EQ(table->items[2].url, "d");
}

TEST(ParsePatchList, EachParseStartsTheTableAnew) {
    TempDir dir;
    auto table = NewTable();
    pc::ParsePatchList(dir.Write("a.ini", "1\ta\t1\t\t0\t\r\n2\tb\t1\t\t0\t\r\n3\tc\t1\t\t0\t\r\n"), *table);
    ASSERT_EQ(table->high, 2);
    pc::ParsePatchList(dir.Write("b.ini", "// nothing here\r\n\r\n/\r\n"), *table);
    EXPECT_EQ(table->high, -1);
    pc::ParsePatchList(dir.Write("c.ini", "9\tz\t1\t\t0\t\r\n"), *table);
    EXPECT_EQ(table->high, 0);
    EXPECT_EQ(table->items[0].id, 9);
}

TEST(ParsePatchList, FillsAllRowsAndRefusesOneMore) {
    TempDir dir;
    auto table = NewTable();
    std::string list;
    for (int i = 0; i < pc::kPatchListCapacity; ++i)
        list += std::to_string(i) + "\tu\t1\t\t0\t\r\n";
    pc::ParsePatchList(dir.Write("full.ini", list), *table);
    EXPECT_EQ(table->high, 65535);
    EXPECT_EQ(table->items[65535].id, 65535);

    list += "// a comment takes no row\r\n";
    EXPECT_NO_THROW(pc::ParsePatchList(dir.Write("full.ini", list), *table));
    list += "65536\tu\t1\t\t0\t\r\n";
    try {
        pc::ParsePatchList(dir.Write("over.ini", list), *table);
        ADD_FAILURE() << "a list with 65,537 rows was taken";
    } catch (const pc::EPatchListError& e) {
        EXPECT_NE(e.Message().find("65536"), std::string::npos) << e.Message();
    }
}

TEST(ParsePatchList, MissingFileIsAnOpenError) {
    TempDir dir;
    auto table = NewTable();
    EXPECT_THROW(pc::ParsePatchList(dir / "absent.ini", *table), pc::EFOpenError);
}

TEST(FindLaterInGroup, LooksOnlyAtLaterFilledRowsOfTheSameGroup) {
    auto table = NewTable();
    table->high = 2;
    table->items[0].group = 5;
    table->items[1].group = 0;
    table->items[2].group = 5;
    table->items[3].group = 0; // stale, above high
    struct Case {
        std::int32_t index;
        std::int32_t later;
    } cases[] = {{0, 2}, {1, -1}, {2, -1}, {3, -1}, {-1, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(pc::FindLaterInGroup(*table, c.index), c.later) << c.index;

    table->high = 3;
    EXPECT_EQ(pc::FindLaterInGroup(*table, 1), 3); // group 0 rows match each other; the caller skips them
}

TEST(FindLaterInGroup, WorksOnTheProcessTable) {
    TempDir dir;
    pc::ParsePatchList(dir.Write("list.ini", "10\ta\t1\t\t0\t\r\n11\tb\t1\t\t7\t\r\n12\tc\t1\t\t7\t\r\n"));
    EXPECT_EQ(pc::PatchList().high, 2);
    EXPECT_EQ(pc::FindLaterInGroup(1), 2);
    EXPECT_EQ(pc::FindLaterInGroup(2), -1);
}

TEST(Ledger, MissingLedgerMeansNothingApplied) {
    TempDir dir;
    EXPECT_FALSE(pc::IsPatchApplied(dir.Path(), 0));
    EXPECT_FALSE(pc::IsPatchApplied(dir.Path(), 1));
}

TEST(Ledger, MatchesWholeLinesOnly) {
    TempDir dir;
    dir.Write("tqm_patch.ini", "3\r\n7\r\n 4\r\n05\r\n-2\r\n");
    struct Case {
        std::int32_t id;
        bool applied;
    } cases[] = {{3, true},  {7, true},  {-2, true}, {37, false},
                 {4, false}, {5, false}, {2, false}, {0, false}};
    for (const auto& c : cases)
        EXPECT_EQ(pc::IsPatchApplied(dir.Path(), c.id), c.applied) << c.id;
}

TEST(Ledger, RecordingAppendsAndIsSeenAtOnce) {
    TempDir dir;
    pc::RecordPatchApplied(dir.Path(), 3);
    EXPECT_EQ(ReadFileBytes(dir / "tqm_patch.ini"), "3\r\n");
    EXPECT_TRUE(pc::IsPatchApplied(dir.Path(), 3));
    pc::RecordPatchApplied(dir.Path(), -12);
    pc::RecordPatchApplied(dir.Path(), 2147483647);
    EXPECT_EQ(ReadFileBytes(dir / "tqm_patch.ini"), "3\r\n-12\r\n2147483647\r\n");
}

TEST(Ledger, KeepsWhatAnotherWriterLeftAndRewritesWithCrLf) {
    TempDir dir;
    dir.Write("tqm_patch.ini", "1\n2\rnote\r\n");
    pc::RecordPatchApplied(dir.Path(), 9);
    EXPECT_EQ(ReadFileBytes(dir / "tqm_patch.ini"), "1\r\n2\r\nnote\r\n9\r\n");
}

TEST(Ledger, FailedSaveKeepsTheOldLedger) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file size limit to stand in for a full disk";
#else
    TempDir dir;
    dir.Write("tqm_patch.ini", "100\r\n101\r\n102\r\n");
    {
        pc::test::FileSizeLimit full(8); // the new ledger no longer fits
        EXPECT_THROW(pc::RecordPatchApplied(dir.Path(), 103), pc::Exception);
    }
    EXPECT_EQ(ReadFileBytes(dir / "tqm_patch.ini"), "100\r\n101\r\n102\r\n");
#endif
}

// The ledger is kept between queries, but every way another program can change it is still seen: a
// replacement (new file), an edit of the same size (new time only), a longer file, a removal.
TEST(Ledger, ChangesByAnotherProgramBetweenQueriesAreSeen) {
    TempDir dir;
    const std::string ledger = dir.Write("tqm_patch.ini", "3\r\n");
    ASSERT_TRUE(pc::IsPatchApplied(dir.Path(), 3));
    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::int32_t> applied;
        std::vector<std::int32_t> notApplied;
    } steps[] = {
        {"same size, later time",
         [&] {
             dir.Write("tqm_patch.ini", "7\r\n");
             std::filesystem::last_write_time(ledger, std::filesystem::last_write_time(ledger) +
                                                          std::chrono::seconds(5));
         },
         {7},
         {3}},
        {"replaced by rename",
         [&] {
             dir.Write("other.ini", "8\r\n9\r\n");
             std::filesystem::rename(dir / "other.ini", ledger);
         },
         {8, 9},
         {7}},
        {"appended in place", [&] { std::ofstream(ledger, std::ios::app) << "10\r\n"; }, {8, 9, 10}, {}},
        {"removed", [&] { std::filesystem::remove(ledger); }, {}, {8, 9, 10}},
    };
    for (const Step& step : steps) {
        step.change();
        for (const std::int32_t id : step.applied)
            EXPECT_TRUE(pc::IsPatchApplied(dir.Path(), id)) << step.what << ": " << id;
        for (const std::int32_t id : step.notApplied)
            EXPECT_FALSE(pc::IsPatchApplied(dir.Path(), id)) << step.what << ": " << id;
    }
    // A record after someone else's change keeps that change.
    dir.Write("tqm_patch.ini", "20\r\n");
    pc::RecordPatchApplied(dir.Path(), 21);
    EXPECT_EQ(ReadFileBytes(ledger), "20\r\n21\r\n");
}

} // namespace
