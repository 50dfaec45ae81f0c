// Release day's roads, the same for both editions: a patch preloaded before its release time and applied at
// it without a second download, a player's speed limit, and a staged rollout.
#include "tests/archive/zip_builder.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using pc::test::LogLinesFor;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::UpdateScenario;
using pc::test::ZipBuilder;

// The moment `offset` seconds from now as a release time tag's value: "2026-12-10T18:00:00Z".
std::string UtcMoment(std::chrono::seconds offset) {
    const std::time_t at = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + offset);
    std::tm parts{};
    gmtime_r(&at, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// A row with tags after its SHA-256.
std::string Tagged(const std::string& row, const std::string& tags) {
    return row.substr(0, row.size() - 2) + tags + "\r\n";
}

// A file's SHA-256 by a peer tool.
std::string PeerDigest(const std::string& path) {
    return pc::test::RunProgram("sha256sum '" + path + "'").out.substr(0, 64);
}

TEST_P(UpdateScenario, APreloadedPatchAppliesAtItsTimeWithoutASecondDownload) {
    ServeArchive("p1.zip", ZipBuilder().Deflated("one.txt", "one").Build());
    ServeArchive("p2.zip", ZipBuilder().Deflated("two.txt", "two").Build());
    // Two hours ahead by any clock on this machine, which the server's is.
    const std::string moment = UtcMoment(std::chrono::hours(2));
    ServeList(Tagged(Row(1, "p1.zip", 100, "", 0, PeerDigest(content_ / "patches/p1.zip")),
                     "\tavailable=" + moment) +
              Tagged(Row(2, "p2.zip", 100, "", 0, PeerDigest(content_ / "patches/p2.zip")), ""));

    const ProgramResult before = Update();
    EXPECT_EQ(before.exitCode, 0) << before.err;
    EXPECT_EQ(before.out, "- Searching for updates...\n"
                          "- Downloaded: p1\n"
                          "- Patch p1 is ready; it applies at " +
                              moment.substr(11, 5) + " UTC (in 2 h)\n");
    EXPECT_FALSE(Installed("one.txt"));
    EXPECT_FALSE(Installed("two.txt")); // the rows after it wait
    EXPECT_TRUE(fs::exists(Stored("p1.zip")));
    EXPECT_EQ(Ledger(), "");

    // The moment has come (the operator's list says so): the kept archive is applied, only the list asked.
    ServeList(Tagged(Row(1, "p1.zip", 100, "", 0, PeerDigest(content_ / "patches/p1.zip")),
                     "\tavailable=" + UtcMoment(std::chrono::seconds(-1))) +
              Tagged(Row(2, "p2.zip", 100, "", 0, PeerDigest(content_ / "patches/p2.zip")), ""));
    const ProgramResult atTime = Update();
    EXPECT_EQ(atTime.exitCode, 0) << atTime.err;
    EXPECT_EQ(ReadFileBytes(install_ / "one.txt"), "one");
    EXPECT_EQ(ReadFileBytes(install_ / "two.txt"), "two");
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
    EXPECT_EQ(LogLinesFor(Requests(), "/patches/p1.zip").size(), 1u);
    EXPECT_FALSE(fs::exists(Stored("p1.zip")));
}

TEST_P(UpdateScenario, ASpeedLimitFromTheCommandLineOrTheSettings) {
    std::string noise;
    for (int i = 0; i < 60000; ++i)
        noise += std::to_string(i * 2654435761u);
    ServeArchive("p1.zip", ZipBuilder().Stored("noise.bin", noise).Build());
    ServeList(Tagged(Row(1, "p1.zip", 100, "", 0, PeerDigest(content_ / "patches/p1.zip")), ""));
    const ProgramResult refused = Patchctl("update " + Quoted(install_.Path()) + " --limit-rate 2.5M");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("not a rate: '2.5M'"), std::string::npos) << refused.err;

    // The installation's setting paces the transfer; every byte arrives in order all the same.
    install_.Write("tqm_settings.ini", "download-speed-limit=400000\n");
    const ProgramResult limited = Update();
    EXPECT_EQ(limited.exitCode, 0) << limited.err;
    EXPECT_EQ(ReadFileBytes(install_ / "noise.bin"), noise);
    EXPECT_EQ(ReadFileBytes(install_ / "tqm_settings.ini"), "download-speed-limit=400000\n");
}

TEST_P(UpdateScenario, AStagedRolloutTakesItsShareAndGrows) {
    ServeArchive("p1.zip", ZipBuilder().Deflated("one.txt", "one").Build());
    ServeArchive("p2.zip", ZipBuilder().Deflated("two.txt", "two").Build());
    install_.Write("tqm_settings.ini", "rollout-number=600000\n");
    ServeList(Tagged(Row(1, "p1.zip", 100, "", 0, PeerDigest(content_ / "patches/p1.zip")), "\trollout=50") +
              Tagged(Row(2, "p2.zip", 100, "", 0, PeerDigest(content_ / "patches/p2.zip")), ""));

    const ProgramResult outside = Update();
    EXPECT_EQ(outside.exitCode, 0) << outside.err;
    EXPECT_EQ(outside.out, "- Searching for updates...\n"
                           "- Patch p1 is rolling out; this installation will get it later\n");
    EXPECT_EQ(Ledger(), "");
    EXPECT_TRUE(LogLinesFor(Requests(), "/patches/").empty());

    // A larger share brings this installation in, and the row after it follows.
    ServeList(Tagged(Row(1, "p1.zip", 100, "", 0, PeerDigest(content_ / "patches/p1.zip")), "\trollout=70") +
              Tagged(Row(2, "p2.zip", 100, "", 0, PeerDigest(content_ / "patches/p2.zip")), ""));
    const ProgramResult inside = Update();
    EXPECT_EQ(inside.exitCode, 0) << inside.err;
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");

    // A fresh installation draws its number once and keeps it.
    fs::remove(install_ / "tqm_settings.ini");
    fs::remove(install_ / "tqm_patch.ini");
    (void)Update();
    const std::string kept = ReadFileBytes(install_ / "tqm_settings.ini");
    EXPECT_EQ(kept.rfind("rollout-number=", 0), 0u) << kept;
    (void)Update();
    EXPECT_EQ(ReadFileBytes(install_ / "tqm_settings.ini"), kept);
}

} // namespace
