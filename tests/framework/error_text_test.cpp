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
