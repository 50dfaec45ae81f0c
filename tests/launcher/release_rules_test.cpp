#include "launcher/install/settings.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/row_release.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using pc::TRowHold;

// 2026-12-10T18:00:00Z
constexpr std::int64_t kRelease = 1796925600;

pc::TPatchRec RowFromLine(const std::string& tags) {
    pc::test::TempDir dir;
    auto table = std::make_unique<pc::TPatchList>();
    pc::ParsePatchList(
        dir.Write("list", "7\thttp://h/p7.zip\t10\t\t0\t" + std::string(64, 'a') + tags + "\r\n"), *table);
    return table->items[0];
}

// The time and share rules against a fake clock and fixed rollout numbers: what the row's tags say, where
// the installation stands, and what the launcher does and logs.
TEST(ReleaseRules, TimeAndShare) {
    ASSERT_EQ(pc::ParseUtcTime("2026-12-10T18:00:00Z"), kRelease);
    struct Case {
        const char* tags;
        std::int64_t now;
        std::uint32_t number;
        TRowHold hold;
        const char* line;
    } cases[] = {
        {"", kRelease - 100, 999999, TRowHold::rhNone, ""},
        {"\tavailable=2026-12-10T18:00:00Z", kRelease - (2 * 3600 + 10 * 60), 0, TRowHold::rhNotYet,
         "- Patch p7 is ready; it applies at 18:00 UTC (in 2 h 10 min)"},
        {"\tavailable=2026-12-10T18:00:00Z", kRelease - 1, 0, TRowHold::rhNotYet,
         "- Patch p7 is ready; it applies at 18:00 UTC (in 1 min)"},
        {"\tavailable=2026-12-10T18:00:00Z", kRelease - 3 * 86400 - 3600, 0, TRowHold::rhNotYet,
         "- Patch p7 is ready; it applies at 2026-12-10 18:00 UTC (in 3 d 1 h)"},
        {"\tavailable=2026-12-10T18:00:00Z", kRelease, 0, TRowHold::rhNone, ""},
        // Within the share by the number alone; the boundary belongs to the next percent.
        {"\trollout=25", 0, 249999, TRowHold::rhNone, ""},
        {"\trollout=25", 0, 250000, TRowHold::rhRollingOut,
         "- Patch p7 is rolling out; this installation will get it later"},
        {"\trollout=100", 0, 999999, TRowHold::rhNone, ""},
        // Outside the share, the release time does not matter: nothing is downloaded.
        {"\tavailable=2026-12-10T18:00:00Z\trollout=1", kRelease - 60, 10000, TRowHold::rhRollingOut,
         "- Patch p7 is rolling out; this installation will get it later"},
        {"\tavailable=2026-12-10T18:00:00Z\trollout=1", kRelease - 60, 9999, TRowHold::rhNotYet,
         "- Patch p7 is ready; it applies at 18:00 UTC (in 1 min)"},
        // Unreadable tags hold the row back for everyone rather than letting it out to all.
        {"\tavailable=2026-12-10 18:00", kRelease + 86400, 0, TRowHold::rhUnreadable,
         "- Patch p7 has a release time or rollout share that cannot be read; it is not applied"},
        {"\trollout=0", 0, 0, TRowHold::rhUnreadable, nullptr},
        {"\trollout=101", 0, 0, TRowHold::rhUnreadable, nullptr},
        {"\trollout=25%", 0, 0, TRowHold::rhUnreadable, nullptr},
        {"\trollout=025", 0, 0, TRowHold::rhUnreadable, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tags);
        const pc::TPatchRec row = RowFromLine(c.tags);
        int asked = 0;
        const TRowHold hold = pc::RowHold(row, c.now, [&] {
            ++asked;
            return c.number;
        });
        EXPECT_EQ(hold, c.hold);
        // The number is drawn only for a row that has a share below everyone.
        EXPECT_EQ(asked > 0, row.rolloutPercent < 100 && !row.malformedAvailable && !row.malformedRollout);
        if (c.line != nullptr) {
            EXPECT_EQ(pc::HoldLine(hold, "p7", row, c.now), c.line);
        }
    }
}

TEST(ReleaseRules, ServerClock) {
    EXPECT_EQ(pc::ServerClockOffset("Thu, 10 Dec 2026 18:00:00 GMT", kRelease - 3600), 3600);
    EXPECT_EQ(pc::ServerClockOffset("Thu, 10 Dec 2026 18:00:00 GMT", kRelease + 60), -60);
    // No Date, or one that cannot be read: the player's clock judges.
    EXPECT_EQ(pc::ServerClockOffset("", kRelease), 0);
    EXPECT_EQ(pc::ServerClockOffset("tomorrow", kRelease), 0);
}

// 1,000 fresh settings files draw their numbers once each; the shares that take a row come within three
// points of 10, 50 and 100%, and a number once kept is kept.
TEST(ReleaseRules, RolloutShareOfFreshInstallations) {
    std::mt19937 generator(33);
    pc::test::TempDir root;
    std::vector<std::uint32_t> numbers;
    for (int i = 0; i < 1000; ++i) {
        const std::string dir = root.Path() + std::to_string(i) + "/";
        std::filesystem::create_directory(dir);
        numbers.push_back(
            pc::InstallationRolloutNumber(dir, [&] { return static_cast<std::uint32_t>(generator()); }));
        ASSERT_EQ(pc::InstallationRolloutNumber(dir, [] { return 5u; }), numbers.back());
    }
    for (const int percent : {10, 50, 100}) {
        int taken = 0;
        for (const std::uint32_t number : numbers)
            taken += pc::RolloutTakes(number, percent) ? 1 : 0;
        EXPECT_NEAR(taken / 10.0, percent, 3.0) << percent;
    }
}

TEST(Settings, SpeedLimitAndRates) {
    pc::test::TempDir dir;
    EXPECT_EQ(pc::StoredSpeedLimit(dir.Path()), 0);
    dir.Write("tqm_settings.ini", "future-key=x\nrollout-number=12\n");
    pc::StoreSpeedLimit(dir.Path(), 2000000);
    EXPECT_EQ(pc::StoredSpeedLimit(dir.Path()), 2000000);
    // Keys of other versions, and the rollout number, stay as they were.
    EXPECT_EQ(pc::test::ReadFileBytes(dir / "tqm_settings.ini"),
              "future-key=x\nrollout-number=12\ndownload-speed-limit=2000000\n");
    EXPECT_EQ(pc::InstallationRolloutNumber(dir.Path(), [] { return 99u; }), 12u);

    struct Rate {
        const char* text;
        std::optional<std::int64_t> bytes;
        const char* shown;
    } rates[] = {{"2M", 2000000, "2 MB/s"},       {"500K", 500000, "500 KB/s"},
                 {"1234", 1234, "1234 B/s"},      {"0", 0, nullptr},
                 {"2.5M", std::nullopt, nullptr}, {"-1", std::nullopt, nullptr},
                 {"M", std::nullopt, nullptr},    {"99999999999999M", std::nullopt, nullptr}};
    for (const Rate& r : rates) {
        EXPECT_EQ(pc::ParseRate(r.text), r.bytes) << r.text;
        if (r.shown != nullptr) {
            EXPECT_EQ(pc::FormatRate(*r.bytes), r.shown);
        }
    }
}

} // namespace
