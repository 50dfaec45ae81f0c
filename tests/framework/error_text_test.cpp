#include "framework/exceptions.h"

#include <gtest/gtest.h>

namespace {

TEST(ErrorBoxText, PeriodAddedOnlyAfterBytesAboveThePeriod) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"", ""},
        {"Disk full", "Disk full."},
        {"Invalid filename", "Invalid filename."},
        {"List index out of bounds (3)", "List index out of bounds (3)"},
        {"Invalid data type for ''", "Invalid data type for ''"},
        {"Done.", "Done."},
        {"Bang!", "Bang!"},
        {"trailing blank ", "trailing blank "},
        {"ends in digit 7", "ends in digit 7."},
        {"slash/", "slash/."},
        {"high byte \xe9", "high byte \xe9."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::WithClosingPeriod(c.text), c.shown) << c.text;
}

} // namespace

namespace {

TEST(WindowErrorTexts, OleTextsLoseTrailingBlanksControlBytesAndPeriods) {
    EXPECT_EQ(pc::MakeOleException("The page was refused. \r\n").Message(), "The page was refused");
    EXPECT_EQ(pc::MakeOleException("Access denied...").Message(), "Access denied");
    EXPECT_EQ(pc::MakeOleException("v1.2 (beta)").Message(), "v1.2 (beta)");
    EXPECT_EQ(pc::MakeOleException(". .\t").Message(), "");
    EXPECT_EQ(pc::MakeOleSysError(0x80004005u, "Unspecified error\r\n").Message(), "Unspecified error");
    EXPECT_EQ(pc::MakeOleSysError(0x80004005u, "").Message(), "OLE error 80004005");
    EXPECT_EQ(pc::MakeOleSysError(0x1Fu, std::string(256, 'x')).Message(), "OLE error 0000001f");
    EXPECT_EQ(pc::PropertyOutOfRangeText("TProgressBar"), "TProgressBar property out of range");
}

} // namespace

namespace {

// A denied access names what was denied; other errors read as the box's rule says.
TEST(ErrorReportText, ADeniedAccessNamesItsPath) {
    EXPECT_EQ(pc::ErrorReportText(pc::EInOutError("File access denied", 5, "/g/tqm_patch.ini")),
              "File access denied. [/g/tqm_patch.ini]");
    EXPECT_EQ(pc::ErrorReportText(pc::EInOutError("File access denied", 5)), "File access denied.");
    EXPECT_EQ(pc::ErrorReportText(pc::EInOutError("Disk full", 101, "/g/")), "Disk full.");
}

} // namespace
