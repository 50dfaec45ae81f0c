// Releases made by the operator's patchctl release, one after another, served by nginx, and installations
// of every standing updated by each edition's patchctl update: one, several and many releases behind, one
// that holds nothing yet, one whose player changed a file, and a release whose snapshot cannot be read.
#include "tests/support/release_scenarios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using pc::test::LogLinesFor;
using pc::test::Megabytes;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::ReleaseRun;
using pc::test::ReleaseScenario;
TEST_P(ReleaseScenario, EachInstallationTakesItsCheapestRoadToTheLatestRelease) {
    const ReleaseRun run;
    Release(run, ReleaseRun::kReleases);
    const std::string done = "- Update process completed\n";

    struct Case {
        int installed;
        std::string road;    // the log's road line
        std::string shown;   // the archives downloaded, one "- Downloaded" line each
        std::uintmax_t cost; // what may travel of the releases' folder
    };
    const Case cases[] = {
        {5, "- Updating from release 5 to release 6 in 1 step (" + Megabytes(Size("6/6-from-5.zip")) + ")\n",
         "- Downloaded: 6-from-5\n", Size("6/6-from-5.zip")},
        {3,
         "- Updating from release 3 to release 6 in one step (" + Megabytes(Size("6/6-from-3.zip")) + ")\n",
         "- Downloaded: 6-from-3\n", Size("6/6-from-3.zip")},
        // Further behind than the direct patches reach: the chain, cheaper here than the whole client.
        {1,
         "- Updating from release 1 to release 6 in 5 steps (" +
             Megabytes(Size("2/2-from-1.zip") + Size("3/3-from-2.zip") + Size("4/4-from-3.zip") +
                       Size("5/5-from-4.zip") + Size("6/6-from-5.zip")) +
             ")\n",
         "- Downloaded: 2-from-1\n- Downloaded: 3-from-2\n- Downloaded: 4-from-3\n- Downloaded: 5-from-4\n"
         "- Downloaded: 6-from-5\n",
         Size("2/2-from-1.zip") + Size("3/3-from-2.zip") + Size("4/4-from-3.zip") + Size("5/5-from-4.zip") +
             Size("6/6-from-5.zip")},
    };
    for (const Case& c : cases) {
        InstallRelease(run, c.installed);
        const std::string before = Requests();
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n" + c.road + c.shown + done) << c.installed;
        ExpectRelease(run, 6);
        EXPECT_FALSE(Installed("old/notes.txt"));
        EXPECT_EQ(Served(before), static_cast<long long>(c.cost)) << c.installed;
        // Up to date now: nothing more to take.
        EXPECT_EQ(Update().out, "- Searching for updates...\n- No updates has been found\n");
    }
    // A direct patch from release 3 costs less than the chain of three it stands for.
    EXPECT_LT(Size("6/6-from-3.zip"),
              Size("4/4-from-3.zip") + Size("5/5-from-4.zip") + Size("6/6-from-5.zip"));

    // A new player: the launcher and its Config.ini only. The latest client, file by file from its
    // snapshot, and the ledger says release 6.
    InstallRelease(run, 1);
    for (const auto& entry : fs::directory_iterator(install_.Path()))
        if (entry.path().filename() != "Config.ini")
            fs::remove_all(entry.path());
    std::string before = Requests();
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("- Fetching game files")),
              "- Searching for updates...\n- Installing release 6 (" + Megabytes(Size("6/client.zip")) +
                  ")\n");
    EXPECT_EQ(r.out.substr(r.out.size() - done.size()), done);
    ExpectRelease(run, 6);
    // The archive's directory is read with one tail request of 66 KiB, whatever the client's size.
    EXPECT_LE(Served(before), static_cast<long long>(Size("6/client.zip") * 102 / 100 + 70 * 1024));

    // A file the player changed: the direct patch's delta cannot turn it, so it comes whole from release
    // 6's own client.zip.
    InstallRelease(run, 3);
    install_.Write("data/pack.dat", "the player's own");
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("- Fetching in full: data/pack.dat\n"), std::string::npos) << r.out;
    ExpectRelease(run, 6);
}

// An installation further behind than the direct patches reach, where the chain costs more than the whole
// client (a level rewritten whole each release): healed to the latest snapshot, it keeps no file that its
// own release had and a later one removed, while a player's file of a name only other releases had stays.
TEST_P(ReleaseScenario, HealingFromFarBehindRemovesWhatLaterReleasesRemoved) {
    ReleaseRun run;
    for (int n = 1; n <= ReleaseRun::kReleases; ++n) {
        run.versions[n]["data/level.dat"] = pc::test::NoiseBytes(1u << 20, 100u + n);
        if (n == 1 || n == 4)
            run.versions[n]["maps/arena.map"] = "arena";
        if (n == 3 || n == 4)
            run.versions[n]["extra/dlc.pak"] = "dlc";
    }
    Release(run, ReleaseRun::kReleases);
    EXPECT_EQ(ReadFileBytes(content_ / "rel/6/client.removed"),
              "//client-removed 1\n3 4 extra/dlc.pak\n1 1 maps/arena.map\n4 4 maps/arena.map\n"
              "1 2 old/notes.txt\n");

    InstallRelease(run, 1);
    pc::test::WriteReleaseTree(install_.Path(),
                               {{"extra/dlc.pak", "mine"}, {"screenshots/shot.png", "mine"}});
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("- Updating from release 1 to release 6 from its whole client"), std::string::npos)
        << r.out;
    ExpectRelease(run, 6);
    EXPECT_FALSE(Installed("old") || Installed("maps")); // with the folders their removal left empty
    EXPECT_EQ(ReadFileBytes(install_ / "extra/dlc.pak") + ReadFileBytes(install_ / "screenshots/shot.png"),
              "minemine");
}

// A release whose time has not come opens no cheaper road: a direct patch to it would bring its files early.
// The rows go one by one, and the held one waits, downloaded, for its moment.
TEST_P(ReleaseScenario, AReleaseNotYetAvailableIsReachedByNoDirectPatch) {
    const ReleaseRun run;
    char moment[32];
    const std::time_t inAnHour = std::time(nullptr) + 3600;
    std::strftime(moment, sizeof moment, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&inAnHour));
    Release(run, 3, std::string(" --available-from ") + moment);
    InstallRelease(run, 1);
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("in one step"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find("- Patch 3-from-2 is ready")),
              "- Searching for updates...\n- Downloaded: 2-from-1\n- Downloaded: 3-from-2\n");
    ExpectRelease(run, 2);
}

// A release larger than a row can list (the limit lowered for the test) comes in several rows of that
// release, applied in turn; the next release's direct patch stands for all of them.
TEST_P(ReleaseScenario, AReleaseOverARowsLimitComesInSeveralRows) {
    const ReleaseRun run;
    Release(run, 4);
    pc::test::ReleaseTree big[7];
    for (int n : {5, 6}) {
        big[n] = run.versions[n];
        big[n]["data/new1.bin"] = pc::test::NoiseBytes(120000, 41);
        big[n]["data/new2.bin"] = pc::test::NoiseBytes(120000, 42);
    }
    const ProgramResult split = ReleaseOf(5, big[5], {}, "PATCHCTL_ROW_SIZE_LIMIT=260000 ");
    ASSERT_EQ(split.exitCode, 0) << split.err;
    EXPECT_NE(split.out.find("split into 2 archives, applied in turn\n"), std::string::npos) << split.out;
    const std::uintmax_t parts = Size("5/5-from-4-part1.zip") + Size("5/5-from-4-part2.zip");
    EXPECT_LE(std::max(Size("5/5-from-4-part1.zip"), Size("5/5-from-4-part2.zip")), 260000u);
    // Its direct patches are as large: not listed, so those installations take the chain.
    EXPECT_FALSE(fs::exists(content_ / "rel/5/5-from-3.zip"));

    const auto expect = [&](const pc::test::ReleaseTree& tree, const std::string& ledger) {
        for (const auto& [name, bytes] : tree)
            EXPECT_TRUE(ReadFileBytes(install_ / name) == bytes) << name;
        EXPECT_EQ(Ledger(), ledger);
    };
    const std::string parted = "- Downloaded: 5-from-4-part1\n- Downloaded: 5-from-4-part2\n";
    struct Case {
        int installed;
        std::string out;
    };
    const Case cases[] = {
        {4, "- Updating from release 4 to release 5 in 2 steps (" + Megabytes(parts) + ")\n" + parted},
        {2, "- Updating from release 2 to release 5 in 4 steps (" +
                Megabytes(Size("3/3-from-2.zip") + Size("4/4-from-3.zip") + parts) +
                ")\n- Downloaded: 3-from-2\n- Downloaded: 4-from-3\n" + parted},
    };
    for (const Case& c : cases) {
        InstallRelease(run, c.installed);
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n" + c.out + "- Update process completed\n");
        expect(big[5], "1\r\n2\r\n3\r\n4\r\n5\r\n");
    }

    // The next release, within the limit: its direct patch from release 4 stands for both rows of 5.
    ASSERT_EQ(ReleaseOf(6, big[6]).exitCode, 0);
    InstallRelease(run, 4);
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n- Updating from release 4 to release 6 in one step (" +
                         Megabytes(Size("6/6-from-4.zip")) +
                         ")\n- Downloaded: 6-from-4\n- Update process completed\n");
    expect(big[6], "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n");
}

// A release whose snapshot cannot be read: the operator's next release is refused with nothing written,
// and a new player whose latest client cannot be fetched ends with nothing recorded.
TEST_P(ReleaseScenario, ASnapshotThatCannotBeReadIsRefusedAndChangesNothing) {
    const ReleaseRun run;
    Release(run, 3);
    const std::string list = ReadFileBytes(content_ / "list.txt");
    std::ofstream(content_ / "rel/2/client.manifest", std::ios::binary | std::ios::trunc) << "damaged\n";
    pc::test::WriteReleaseTree(work_ / "v4", run.versions[4]);
    const ProgramResult refused =
        Operator("release " + Quoted(content_ / "rel") + " " + Quoted(work_ / "v4") + " --list " +
                 Quoted(content_ / "list.txt") + " --url " + server_->Url("/rel") + " --deltas 2");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("the snapshot of release 2"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("is damaged"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(content_ / "rel/4"));
    EXPECT_EQ(ReadFileBytes(content_ / "list.txt"), list);

    fs::remove(content_ / "rel/3/client.zip");
    const ProgramResult r = Update();
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.out.find("- Some game files could not be repaired\n"), std::string::npos) << r.out;
    EXPECT_EQ(Ledger(), "");
    EXPECT_FALSE(Installed("data/pack.dat"));
}

} // namespace
