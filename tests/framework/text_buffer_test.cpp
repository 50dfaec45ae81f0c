#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using pc::TMemo;
using pc::test::TempDir;

TEST(TextBuffer, LoadTextFileTurnsLoneBreaksIntoCrLf) {
    struct Case {
        std::string file;
        std::string text;
    } cases[] = {
        {"a\r\r\nb", "a\r\n\r\nb"},
        {"a\n\rb", "a\r\n\r\nb"},
        {"a\n", "a\r\n"},
        {"a", "a"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"\r", "\r\n"},
        {"", ""},
        {std::string("ab\0\ncd", 6), "ab"},
        {std::string("\ra\0b", 4), "\r\na"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        TMemo memo;
        memo.SetText("previous");
        memo.LoadTextFile(dir.Write("Config.ini", c.file));
        EXPECT_EQ(memo.Text(), c.text) << testing::PrintToString(c.file);
    }
}

TEST(TextBuffer, LoadTextFileThatCannotBeOpened) {
    TempDir dir;
    TMemo memo;
    memo.SetText("kept");
    try {
        memo.LoadTextFile(dir / "Config.ini");
        ADD_FAILURE();
    } catch (const pc::EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + (dir / "Config.ini"));
    }
    EXPECT_EQ(memo.Text(), "kept");
}

TEST(TextBuffer, WritingTextKeepsBreaksAndCutsAtNul) {
    TMemo memo;
    memo.SetText("a\nb");
    EXPECT_EQ(memo.Text(), "a\nb");
    memo.SetSelectionStart(1);
    memo.SetSelectionLength(1);
    EXPECT_EQ(memo.SelectedText(), "\n");
    memo.SetText(std::string("ab\0cd", 5));
    EXPECT_EQ(memo.Text(), "ab");
}

// One selection step: set the start, then the length, then read the selection.
struct SelectionCase {
    std::string text;
    long start;
    long count;
    long selStart;
    long selLength;
    std::string selected;
};

TEST(TextBuffer, SelectionRules) {
    const SelectionCase cases[] = {
        {"ab\r\nc", 1, 1, 1, 1, "b"},
        {"ab\r\nc", 0, 4, 0, 4, "ab\r\n"},
        {"ab\r\nc", 3, -2, 1, 2, "b\r"},  // the caret stands before the anchor
        {"ab\r\nc", 3, -3, 0, 3, "ab\r"}, // down to position 0
        {"k=v;", 2, -4, 2, 2, "v;"},      // a caret below zero means the end of the text
        {"k=v;", 2, -1000, 2, 2, "v;"},
        {"k=v;", 2, 100, 2, 2, "v;"},      // beyond the end is the end
        {"k=v;", 2, LONG_MAX, 2, 2, "v;"}, // counts at the type's limits must not overflow the caret
        {"k=v;", 2, LONG_MIN, 2, 2, "v;"},
        {"k=v;", 9, 1, 4, 0, ""}, // a start beyond the end is the end
        {"k=v;", 4, -1, 3, 1, ";"},
        {"k=v;", 0, -1, 0, 4, "k=v;"}, // 0 and -1 select the whole text
        {"k=v;", 1, 0, 1, 0, ""},
        {"", 0, -1, 0, 0, ""},
        {"", 5, 5, 0, 0, ""},
    };
    for (const auto& c : cases) {
        TMemo memo;
        memo.SetText(c.text);
        memo.SetSelectionStart(c.start);
        EXPECT_EQ(memo.SelectionLength(), 0);
        memo.SetSelectionLength(c.count);
        const auto where = testing::PrintToString(c.text) + " start " + std::to_string(c.start) + " count " +
                           std::to_string(c.count);
        EXPECT_EQ(memo.SelectionStart(), c.selStart) << where;
        EXPECT_EQ(memo.SelectionLength(), c.selLength) << where;
        EXPECT_EQ(memo.SelectedText(), c.selected) << where;
    }
}

TEST(TextBuffer, SetSelectionLengthStartsFromTheLowerPosition) {
    TMemo memo;
    memo.SetText("0123456789");
    memo.SetSelectionStart(6);
    memo.SetSelectionLength(-4); // caret 2, anchor 6
    memo.SetSelectionLength(3);  // anchor moves to 2
    EXPECT_EQ(memo.SelectionStart(), 2);
    EXPECT_EQ(memo.SelectedText(), "234");
}

TEST(TextBuffer, ReplaceSelection) {
    struct Case {
        std::string text;
        long start;
        long count;
        std::string insert;
        std::string result;
        long caret;
    } cases[] = {
        {"ab\r\nc", 0, 4, "", "c", 0},           // deleting a first line and its break
        {"ab\r\nc", 1, 0, "XY", "aXYb\r\nc", 3}, // an empty selection inserts at the caret
        {"ab\r\nc", 3, -2, "-", "a-\nc", 2},
        {"abc", 0, 1, "", "bc", 0},
        {"abc", 1, -5, "Z", "aZ", 2},
        {"abc", 0, 3, std::string("x\0y", 3), "x", 1},
    };
    for (const auto& c : cases) {
        TMemo memo;
        memo.SetText(c.text);
        memo.SetSelectionStart(c.start);
        memo.SetSelectionLength(c.count);
        memo.ReplaceSelection(c.insert);
        EXPECT_EQ(memo.Text(), c.result) << testing::PrintToString(c.text);
        EXPECT_EQ(memo.SelectionStart(), c.caret) << testing::PrintToString(c.text);
        EXPECT_EQ(memo.SelectionLength(), 0);
    }
}

TEST(MemoLineView, AppendRule) {
    struct Case {
        std::string before;
        std::string line;
        std::string after;
    } cases[] = {
        {"", "x", "x\r\n"},         {"x\r\n", "y", "x\r\ny\r\n"},
        {"x", "y", "x\r\ny"},     // a text without a final break gets one before the line
        {"x\n", "y", "x\n\r\ny"}, // a lone LF is not a line end
        {"x\r\n", "", "x\r\n\r\n"},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        pc::AppendMemoLine(text, c.line);
        EXPECT_EQ(text, c.after) << testing::PrintToString(c.before);
    }
}

} // namespace
