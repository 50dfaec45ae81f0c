// The progress line of a download: its figures for small, huge and unknown sizes, and how often it may
// change the log.
#include "launcher/net/download_progress.h"

#include "tests/support/fake_ui.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMB = 1000 * 1000;

TEST(DownloadProgress, LinesForSmallHugeAndUnknownSizes) {
    struct Case {
        std::int64_t done;
        std::int64_t total;
        double rate;
        const char* line;
    };
    const Case cases[] = {
        {-1, -1, 0, "- Downloading p0042 (3 of 12)"},
        {120 * kMB, 900 * kMB, 8.1 * kMB,
         "- Downloading p0042 (3 of 12): 120 of 900 MB, 8.1 MB/s, about 2 min left"},
        {0, 900 * kMB, 0, "- Downloading p0042 (3 of 12): 0 of 900 MB"},
        {512, 900, 300, "- Downloading p0042 (3 of 12): 512 of 900 bytes, 300 bytes/s, about 2 s left"},
        {999, 999, 10, "- Downloading p0042 (3 of 12): 999 of 999 bytes, 10 bytes/s"},
        {1500, 9999, 2500, "- Downloading p0042 (3 of 12): 1.5 of 9.9 kB, 2.5 kB/s, about 4 s left"},
        // Figures are rounded down: nothing shows as arrived before it has.
        {899'999'999, 900 * kMB, 50 * kMB,
         "- Downloading p0042 (3 of 12): 899 of 900 MB, 50 MB/s, about 1 s left"},
        {3 * kMB, 7'300'000'000'000LL, 1 * kMB,
         "- Downloading p0042 (3 of 12): 0.0 of 7.3 TB, 1.0 MB/s, more than a day left"},
        {2 * kMB, 50'000'000'000LL, 10 * kMB,
         "- Downloading p0042 (3 of 12): 0.0 of 50 GB, 10 MB/s, about 1 h 23 min left"},
        {10 * kMB, 46 * kMB, 12 * kMB, "- Downloading p0042 (3 of 12): 10 of 46 MB, 12 MB/s, about 3 s left"},
        {50 * kMB, 110 * kMB, 1 * kMB,
         "- Downloading p0042 (3 of 12): 50 of 110 MB, 1.0 MB/s, about 1 min left"},
        // The server did not say, or said less than arrived: the amount alone, no time left.
        {120 * kMB, -1, 8.1 * kMB, "- Downloading p0042 (3 of 12): 120 MB, 8.1 MB/s"},
        {2 * kMB, 1 * kMB, 0, "- Downloading p0042 (3 of 12): 2.0 MB"},
        {0, 0, 0, "- Downloading p0042 (3 of 12): 0 bytes"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pc::DownloadingLine("p0042", 3, 12, c.done, c.total, c.rate), c.line)
            << c.done << " of " << c.total;
}

// The line is appended once and then written over at most four times a second, with the speed of this
// start's bytes only (not those kept from an earlier start).
TEST(DownloadProgress, TheLineChangesAtMostFourTimesASecond) {
    pc::test::RecordingUi ui;
    ui.AppendLogLine("- Searching for updates...");
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    pc::TDownloadProgressLine line(ui, "p7", 1, 2, [&now] { return now; });
    line.Start();
    const std::int64_t kept = 40 * kMB; // from an earlier start
    for (int ms = 0; ms <= 2000; ms += 50) {
        now += 50ms;
        line.Update(kept + ms * 1000, 100 * kMB); // 1 MB/s
    }
    const auto replaced = ui.CallsNamed("ReplaceLastLogLine");
    EXPECT_EQ(ui.CallsNamed("AppendLogLine").size(), 2u);
    EXPECT_EQ(replaced.size(), 8u); // 2 s at 250 ms
    EXPECT_EQ(replaced.front(), "ReplaceLastLogLine:- Downloading p7 (1 of 2): 40 of 100 MB");
    EXPECT_EQ(ui.logLines, (std::vector<std::string>{"- Searching for updates...",
                                                     "- Downloading p7 (1 of 2): 41 of 100 MB, 1.0 MB/s, "
                                                     "about 59 s left"}));
    EXPECT_EQ(ui.logText, "- Searching for updates...\r\n"
                          "- Downloading p7 (1 of 2): 41 of 100 MB, 1.0 MB/s, about 59 s left\r\n");
}

} // namespace
