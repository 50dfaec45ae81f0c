// The roads a patch can take, the same for both editions: every log line, the files of the installation,
// the ledger, the exit status and the server's access log. Each edition's suite instantiates them with its
// own patchctl.
#include "tests/archive/zip_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::BytesSent;
using pc::test::LogLinesFor;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::StatusOf;
using pc::test::TempDir;
using pc::test::UpdateScenario;
using pc::test::ZipBuilder;

TEST_P(UpdateScenario, RoadOfOnePatchAndTheRunAfterIt) {
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "line " + std::to_string(i * 7919 % 10007) + "\n";
    const pc::test::PatchctlEdition::SetupProgram setup = Edition().Setup(install_.Path());
    ServeArchive("p0042.gpf.zip", ZipBuilder()
                                      .Directory("data/")
                                      .Deflated("data/readme.txt", "read me\n")
                                      .Deflated("data/sub/big.txt", big)
                                      .Add(setup.entry)
                                      .Build());
    ServeList("// the realm's patches\r\n" + Row(42, "p0042.gpf.zip", 900, setup.run, 0));

    const ProgramResult first = Update();
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "- Searching for updates...\n"
                         "- Downloaded: p0042\n"
                         "- Update process completed\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(ReadFileBytes(install_ / "data/readme.txt"), "read me\n");
    EXPECT_EQ(ReadFileBytes(install_ / "data/sub/big.txt"), big);
    // The program ran, and the run waited for it.
    ASSERT_TRUE(Installed(setup.trace));
    EXPECT_EQ(ReadFileBytes(install_ / setup.trace), setup.traced);
    EXPECT_FALSE(fs::exists(Stored("p0042.gpf.zip")));
    EXPECT_EQ(Ledger(), "42\r\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
    // The connection is kept: the list and the archive came over one.
    const std::string log = Requests();
    const auto at = log.find("connection=");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string id = log.substr(at, log.find('\n', at) - at);
    EXPECT_EQ(log.find("connection=", at + 1), log.rfind(id)) << log;

    fs::remove(install_ / setup.trace);
    const ProgramResult second = Update();
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "- Searching for updates...\n"
                          "- No updates has been found\n");
    EXPECT_FALSE(Installed(setup.trace));
    EXPECT_EQ(Ledger(), "42\r\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
}

TEST_P(UpdateScenario, OnlyTheLastRowOfAGroupIsApplied) {
    for (int id : {10, 11, 12})
        ServeArchive("p" + std::to_string(id) + ".zip",
                     ZipBuilder().Deflated("from" + std::to_string(id) + ".txt", std::to_string(id)).Build());
    ServeList(Row(10, "p10.zip", 100, "", 0) + Row(11, "p11.zip", 100, "", 7) +
              Row(12, "p12.zip", 100, "", 7));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p10\n"
                     "- Downloaded: p12\n"
                     "- Update process completed\n");
    EXPECT_TRUE(Installed("from10.txt"));
    EXPECT_FALSE(Installed("from11.txt"));
    EXPECT_TRUE(Installed("from12.txt"));
    EXPECT_EQ(Ledger(), "10\r\n12\r\n");
    EXPECT_EQ(Requests().find("p11.zip"), std::string::npos) << "a superseded patch was fetched";
}

TEST_P(UpdateScenario, DownloadsThatFail) {
    // No list on the server. The log line is the launcher's; the reason is for the operator.
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download patch list: HTTP status 404\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
}

// A row that cannot be downloaded ends the run and later rows wait for the next start, so no patch is
// applied after a newer one. Before, a missing a was passed over and b applied; once a came back it was
// applied over b's files, and the game held a's old data.
TEST_P(UpdateScenario, PatchesAreAppliedInTheOrderOfTheirIds) {
    ServeArchive("b.zip", ZipBuilder().Deflated("game.dat", "from b").Build());
    ServeList(Row(1, "a.zip", 100, "", 0) + Row(2, "b.zip", 100, "", 0));
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download: a\n"
                     "- The update is not complete; it will be tried again at the next start\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download a: HTTP status 404\n");
    EXPECT_EQ(Ledger(), "");
    EXPECT_FALSE(Installed("game.dat"));
    EXPECT_TRUE(LogLinesFor(Requests(), "/patches/b.zip").empty()) << "a later row was fetched";
    EXPECT_FALSE(fs::exists(Stored("a.zip")));
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));

    // a is back: a, then b.
    ServeArchive("a.zip", ZipBuilder().Deflated("game.dat", "from a").Deflated("a.txt", "a").Build());
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: a\n"
                     "- Downloaded: b\n"
                     "- Update process completed\n");
    EXPECT_EQ(ReadFileBytes(install_ / "game.dat"), "from b");
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");

    // An installation that a launcher of the original kind brought to b past the missing a: a, older, is
    // never applied over b's files.
    fs::remove(install_ / "a.txt");
    install_.Write("tqm_patch.ini", "2\r\n");
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- No updates has been found\n");
    EXPECT_EQ(ReadFileBytes(install_ / "game.dat"), "from b");
    EXPECT_FALSE(Installed("a.txt"));
    EXPECT_EQ(Ledger(), "2\r\n");
}

// A patch that carries the launcher's own state (a ledger that claims later patches, a serial that would
// re-open old signed lists, the lock, a download) cannot write it: those entries are skipped, the rest of
// the patch applies, and the patches after it still come.
TEST_P(UpdateScenario, APatchNeverWritesTheLaunchersOwnFiles) {
    ServeArchive("p1.zip", ZipBuilder().Deflated("game.bin", "version 1").Build());
    ServeArchive("p2.zip", ZipBuilder()
                               .Deflated("game.bin", "version 2")
                               .Deflated("tqm_patch.ini", "1\r\n2\r\n3\r\n50\r\n")
                               .Deflated("TQM_Serial.ini", "99\r\n")
                               .Deflated(".tqm_lock", "")
                               .Deflated("./Config.ini", "not a configuration")
                               .Deflated("tqm_download/p3.zip", "not the patch")
                               .Build());
    ServeArchive("p3.zip", ZipBuilder().Deflated("game.bin", "version 3").Build());
    ServeList(Row(1, "p1.zip", 100, "", 0) + Row(2, "p2.zip", 100, "", 0) + Row(3, "p3.zip", 100, "", 0));
    const std::string config = ReadFileBytes(install_ / "Config.ini");

    for (int run = 0; run < 2; ++run) {
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, run == 1 ? "- Searching for updates...\n- No updates has been found\n"
                                  : "- Searching for updates...\n"
                                    "- Downloaded: p1\n"
                                    "- Downloaded: p2\n"
                                    "- Skipped: tqm_patch.ini (a file of the launcher)\n"
                                    "- Skipped: TQM_Serial.ini (a file of the launcher)\n"
                                    "- Skipped: .tqm_lock (a file of the launcher)\n"
                                    "- Skipped: ./Config.ini (a file of the launcher)\n"
                                    "- Skipped: tqm_download/p3.zip (a file of the launcher)\n"
                                    "- Downloaded: p3\n"
                                    "- Update process completed\n");
        EXPECT_EQ(Ledger(), "1\r\n2\r\n3\r\n");
        EXPECT_EQ(ReadFileBytes(install_ / "game.bin"), "version 3");
    }
    EXPECT_EQ(ReadFileBytes(install_ / "Config.ini"), config);
    EXPECT_FALSE(Installed("TQM_Serial.ini"));
    EXPECT_FALSE(Installed("tqm_serial.ini"));
    EXPECT_FALSE(Installed("tqm_download/p3.zip"));
}

// Signed CDN links: a last segment too long for any file system, and a query string (which Windows
// refuses in a name: every run ended with "I/O error 123." before), are stored under safe names; the log
// keeps the names it always showed.
TEST_P(UpdateScenario, ArchivesWithLongNamesAndQueryStringsAreStoredSafely) {
    const std::string segment = "p16-" + std::string(245, 's') + ".zip"; // 253 bytes
    ServeArchive(segment, ZipBuilder().Deflated("sixteen.txt", "16").Build());
    ServeArchive("p17.zip", ZipBuilder().Deflated("seventeen.txt", "17").Build());
    ServeList(Row(16, segment + "?token=" + std::string(200, 't'), 100, "", 0) +
              Row(17, "p17.zip?v=2", 100, "", 0));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p16-" +
                         std::string(245, 's') +
                         "\n"
                         "- Downloaded: p17\n"
                         "- Update process completed\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFileBytes(install_ / "sixteen.txt"), "16");
    EXPECT_EQ(ReadFileBytes(install_ / "seventeen.txt"), "17");
    EXPECT_EQ(Ledger(), "16\r\n17\r\n");
}

TEST_P(UpdateScenario, AnHtmlPageForAnArchiveEndsTheRun) {
    const std::string page = "<!DOCTYPE html>\n<html><body><h1>Maintenance</h1></body></html>\n";
    ServeArchive("p5.zip", page);
    ServeArchive("p6.zip", ZipBuilder().Deflated("six.txt", "6").Build());
    ServeList(Row(5, "p5.zip", 100, "", 0) + Row(6, "p6.zip", 100, "", 0));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p5\n"
                     "- The update did not finish\n");
    EXPECT_EQ(r.err, "Invalid archive file. - Native error: 00035.\n");
    EXPECT_EQ(ReadFileBytes(Stored("p5.zip")), page);
    EXPECT_TRUE(Installed("tmp_PatchList.ini"));
    EXPECT_FALSE(Installed("tqm_patch.ini"));
    EXPECT_FALSE(fs::exists(Stored("p6.zip")));
    EXPECT_FALSE(Installed("six.txt"));
}

// The sixth field: a right SHA-256 is applied; a wrong one is fetched twice, then the row counts as not
// downloadable, nothing is left behind and patchctl says why (exit 4).
TEST_P(UpdateScenario, ArchivesAreCheckedAgainstTheirSha256) {
    ServeArchive("p20.zip", ZipBuilder().Deflated("good.txt", "good").Build());
    ServeArchive("p21.zip", ZipBuilder().Deflated("other.txt", "other").Build());
    // A peer's digest, not the launcher's own.
    const std::string good = pc::test::RunProgram("sha256sum " + Quoted(content_ / "patches/p20.zip")).out;
    ASSERT_GE(good.size(), 64u);
    ServeList(Row(20, "p20.zip", 100, "", 0, good.substr(0, 64)) +
              Row(21, "p21.zip", 100, "", 0, good.substr(0, 64)));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p20\n"
                     "- Cannot download: p21\n"
                     "- The update is not complete; it will be tried again at the next start\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download p21: SHA-256 mismatch\n");
    EXPECT_EQ(Ledger(), "20\r\n");
    EXPECT_TRUE(Installed("good.txt"));
    EXPECT_FALSE(Installed("other.txt"));
    EXPECT_FALSE(fs::exists(Stored("p21.zip")));
    EXPECT_FALSE(fs::exists(Resume("p21.zip")));
    EXPECT_EQ(LogLinesFor(Requests(), "/patches/p21.zip").size(), 2u);
}

// A run killed in the middle of a large archive: the next start asks for the rest only, with a range, and
// the archive comes out whole.
TEST_P(UpdateScenario, AKilledDownloadContinuesAtTheNextStart) {
    pc::test::NginxOptions slow;
    slow.serverDirectives = "limit_rate " + Edition().SlowRate() + ";";
    StartServer(slow);
    const std::string big = pc::test::NoiseBytes(8 << 20, 12345);
    ServeArchive("p30.zip", ZipBuilder().Stored("big.bin", big).Build());
    ServeList(Row(30, "p30.zip", 100, "", 0));
    const std::string archive = ReadFileBytes(content_ / "patches/p30.zip");

    TempDir logs;
    const pid_t first = pc::test::SpawnChild(UpdateWords(), logs / "out", logs / "err");
    const auto kept = static_cast<long long>(pc::test::KillWhenFileReaches(
        first, Stored("p30.zip"), archive.size() * 2 / 5, Edition().Patience()));
    ASSERT_GE(kept, static_cast<long long>(archive.size() * 2 / 5))
        << ReadFileBytes(logs / "out") << ReadFileBytes(logs / "err");
    ASSERT_LT(kept, static_cast<long long>(archive.size())) << "the run was not killed in time";
    EXPECT_TRUE(fs::exists(Resume("p30.zip")));
    EXPECT_EQ(Ledger(), "");

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p30\n"
                     "- Update process completed\n");
    EXPECT_EQ(ReadFileBytes(install_ / "big.bin"), big);
    EXPECT_EQ(Ledger(), "30\r\n");
    const auto requests = LogLinesFor(Requests(), "/patches/p30.zip");
    ASSERT_EQ(requests.size(), 2u) << Requests();
    EXPECT_EQ(StatusOf(requests[1]), 206) << requests[1];
    EXPECT_EQ(BytesSent(requests[1]), static_cast<long long>(archive.size()) - kept);
    EXPECT_FALSE(fs::exists(Stored("p30.zip")));
    EXPECT_FALSE(fs::exists(Resume("p30.zip")));
}

// Two updates started together on one installation: the second waits for the first and then finds
// nothing to do; every patch is applied and recorded once.
TEST_P(UpdateScenario, TwoUpdatesAtOnceApplyEachPatchOnce) {
    std::string list;
    for (int id = 1; id <= 3; ++id) {
        // The first patch's program holds its run long enough for the other one to start meanwhile.
        ZipBuilder patch;
        patch.Deflated("file" + std::to_string(id) + ".txt", std::string(1000, 'a' + id));
        if (id == 1)
            patch.Add(Edition().SlowProgram());
        ServeArchive("p" + std::to_string(id) + ".zip", patch.Build());
        list += Row(id, "p" + std::to_string(id) + ".zip", 100, id == 1 ? Edition().SlowProgramRun() : "", 0);
    }
    ServeList(list);
    TempDir logs;
    std::vector<pid_t> runs;
    for (int i = 0; i < 2; ++i)
        runs.push_back(pc::test::SpawnChild(UpdateWords(), logs / ("out" + std::to_string(i)),
                                            logs / ("err" + std::to_string(i))));
    std::string waited;
    for (int i = 0; i < 2; ++i) {
        const pc::test::ChildResult result =
            pc::test::WaitChild(runs[static_cast<std::size_t>(i)], 2 * Edition().Patience());
        EXPECT_EQ(result.exitCode, 0) << ReadFileBytes(logs / ("err" + std::to_string(i)));
        const std::string out = ReadFileBytes(logs / ("out" + std::to_string(i)));
        if (out.find("- Waiting for another update of this game to finish...\n") != std::string::npos)
            waited = out;
    }
    EXPECT_EQ(waited, "- Searching for updates...\n"
                      "- Waiting for another update of this game to finish...\n"
                      "- No updates has been found\n");
    EXPECT_EQ(Ledger(), "1\r\n2\r\n3\r\n");
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(ReadFileBytes(install_ / ("file" + std::to_string(id) + ".txt")),
                  std::string(1000, 'a' + id));
}

// A signed list served again after a newer one, with its genuine signature, is refused. The replay of the
// example: v1 has patch 1 in group 7, v2 adds patch 2 to group 7. Served v1 again, an installation that
// applied v2 would find patch 1 the last of its group and not applied, and go back to v1's files.
TEST_P(UpdateScenario, AnOlderSignedListServedAgainIsRefused) {
    TempDir keys;
    PinNewKey(keys / "realm.pem");
    const auto publish = [&](const std::string& name, const std::string& data) {
        Publish(name, ZipBuilder().Deflated("game.dat", data).Build(),
                "--group 7 --key " + Quoted(keys / "realm.pem"));
    };
    struct Served {
        std::string list, signature;
    };
    const auto take = [&] {
        return Served{ReadFileBytes(content_ / "list.txt"), ReadFileBytes(content_ / "list.txt.sig")};
    };
    const auto serve = [&](const Served& served) {
        content_.Write("list.txt", served.list);
        content_.Write("list.txt.sig", served.signature);
    };
    const auto file = [&](const std::string& name) { return InstalledBytes(name); };
    const std::string refusedAsOlder = "- Searching for updates...\n"
                                       "- The patch list is older than the one already applied\n";

    publish("p1.zip", "v1");
    const Served v1 = take();
    EXPECT_EQ(v1.list.substr(0, 12), "//serial 1\r\n");
    publish("p2.zip", "v2");
    const Served v2 = take();
    EXPECT_EQ(v2.list.substr(0, 12), "//serial 2\r\n");

    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p2\n"
                     "- Update process completed\n");
    EXPECT_EQ(file("game.dat"), "v2");
    EXPECT_EQ(file("tqm_patch.ini"), "2\r\n");
    EXPECT_EQ(file("tqm_serial.ini"), "2\r\n");

    serve(v1);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, refusedAsOlder);
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list has serial 1, lower than "
                     "serial 2 accepted before: it was served again\n");
    EXPECT_EQ(file("game.dat"), "v2");
    EXPECT_EQ(file("tqm_patch.ini"), "2\r\n");
    EXPECT_EQ(file("tqm_serial.ini"), "2\r\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
    EXPECT_FALSE(Installed("tmp_PatchList.sig"));
    // Nothing of the refused list was fetched.
    EXPECT_TRUE(LogLinesFor(Requests(), "/patches/p1.zip").empty()) << Requests();

    // The same list again is no replay; a newer one goes on as before.
    serve(v2);
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- No updates has been found\n");
    publish("p3.zip", "v3");
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(file("game.dat"), "v3");
    EXPECT_EQ(file("tqm_patch.ini"), "2\r\n3\r\n");
    EXPECT_EQ(file("tqm_serial.ini"), "3\r\n");

    // A list signed before serials existed (v2 without its serial line, signed by the openssl tool) is
    // refused once a serial was seen.
    content_.Write("list.txt", v2.list.substr(v2.list.find("\r\n") + 2));
    ASSERT_EQ(pc::test::RunProgram("openssl dgst -sha256 -sign " + Quoted(keys / "realm.pem") + " -out " +
                                   Quoted(content_ / "list.txt.sig") + " " + Quoted(content_ / "list.txt"))
                  .exitCode,
              0);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, refusedAsOlder);
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list carries no serial (it has "
                     "no serial line), and serial 3 was accepted before\n");
    EXPECT_EQ(file("game.dat"), "v3");
    EXPECT_EQ(file("tqm_serial.ini"), "3\r\n");
}

// Keys rotated on the server reach an installation without a new Config.ini: from A to B in one run, then
// to 2 of B, C and D. Lists signed by a key no longer trusted or by too few keys, and a statement served
// again with the list of its time, are refused and change nothing.
TEST_P(UpdateScenario, KeysRotatedOnTheServerAreFollowed) {
    TempDir keys;
    const auto key = [&](char name) { return Quoted(keys / (std::string(1, name) + ".pem")); };
    PinNewKey(keys / "A.pem");
    for (const char name : {'B', 'C', 'D'})
        ASSERT_EQ(Operator("keygen " + key(name)).exitCode, 0);
    const std::string list = Quoted(content_ / "list.txt"), trust = Quoted(content_ / "list.txt.trust");
    const auto publish = [&](const std::string& name, const std::string& signing) {
        Publish(name + ".zip", ZipBuilder().Deflated(name + ".txt", name).Build(), signing);
    };
    const auto sign = [&](const std::string& signing) {
        ASSERT_EQ(Operator("sign " + list + " " + signing).exitCode, 0);
    };
    const auto applied = [&](const std::string& downloads, const std::string& state) {
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n" + downloads + "- Update process completed\n");
        EXPECT_EQ(InstalledBytes("tqm_trust.ini"), state);
    };
    const auto unchanged = [&](const ProgramResult& r, const std::string& line, const std::string& reason,
                               const std::string& ledger, const std::string& state) {
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(r.out, "- Searching for updates...\n" + line + "\n");
        EXPECT_EQ(r.err, "patchctl update: the patch list is refused: " + reason + "\n");
        EXPECT_EQ(Ledger(), ledger);
        EXPECT_EQ(InstalledBytes("tqm_trust.ini"), state);
        EXPECT_FALSE(Installed("tmp_PatchList.trust"));
    };

    publish("p1", "--key " + key('A'));
    ASSERT_EQ(Operator("trust init " + trust + " --from " + key('A') + " --key " + key('B')).exitCode, 0);
    publish("p2", "--key " + key('B'));
    const std::string version2 = ReadFileBytes(content_ / "list.txt.trust");
    const std::string list2 = ReadFileBytes(content_ / "list.txt"),
                      sig2 = ReadFileBytes(content_ / "list.txt.sig");
    applied("- Downloaded: p1\n- Downloaded: p2\n", version2);

    sign("--key " + key('A'));
    unchanged(Update(), "- The patch list is not signed by this server",
              "its signatures verify under 0 of the 1 keys of version 2 of the statement of trust it needs",
              "1\r\n2\r\n", version2);

    ASSERT_EQ(Operator("trust rotate " + trust + " --add " + key('C') + " --add " + key('D') +
                       " --threshold 2 --sign " + key('B') + " --sign " + key('C'))
                  .exitCode,
              0);
    const std::string file = ReadFileBytes(content_ / "list.txt.trust");
    const std::string version3 = file.substr(file.find("\nversion 3\n") + 1);
    publish("p3", "--key " + key('B') + " --key " + key('D'));
    applied("- Downloaded: p3\n", version3);

    sign("--key " + key('C'));
    unchanged(Update(), "- The patch list is signed by 1 of the 2 keys it needs",
              "its signatures verify under 1 of the 2 keys of version 3 of the statement of trust it needs",
              "1\r\n2\r\n3\r\n", version3);

    // Version 2 again, with the list signed under it.
    content_.Write("list.txt.trust", version2);
    content_.Write("list.txt", list2);
    content_.Write("list.txt.sig", sig2);
    unchanged(
        Update(), "- The statement of trust is older than the one already accepted",
        "the statement of trust goes up to version 2, below version 3 accepted before: it was served again",
        "1\r\n2\r\n3\r\n", version3);
}

} // namespace
