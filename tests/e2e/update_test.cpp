// The Linux patchctl update against a real nginx: every log line, the files of the installation, the ledger
// and the exit status, on the roads a patch can take. The roads both editions share are in
// update_scenarios_test.cpp and run here with the Linux patchctl; the cases below are this edition's own.
#include "framework/crypto.h"
#include "launcher/install/installation.h"
#include "launcher/update_run.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/game_files_scenarios.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_scenarios.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::GameFiles;
using pc::test::LogLinesFor;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::ReleaseScenario;
using pc::test::TempDir;
using pc::test::UpdateScenario;
using pc::test::ZipBuilder;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { StartServer(); }

    // (Re)starts the server and writes the installation's configuration for it.
    void StartServer(pc::test::NginxOptions options = {}) {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path(), std::move(options));
        const std::string plain =
            pc::test::RealmConfig(server_->Url("/news.html"), server_->Url("/list.txt"));
        const ProgramResult encoded =
            pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " config encode --key 5A", plain);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    // A patch list row: five fields, each ended by a TAB.
    std::string Row(int id, const std::string& archive, int size, const std::string& run, int group) const {
        return std::to_string(id) + "\t" + server_->Url("/patches/" + archive) + "\t" + std::to_string(size) +
               "\t" + run + "\t" + std::to_string(group) + "\t\r\n";
    }
    void ServeList(const std::string& text) { content_.Write("list.txt", text); }
    void ServeArchive(const std::string& name, const std::string& bytes) {
        fs::create_directories(content_ / "patches");
        content_.Write("patches/" + name, bytes);
    }

    ProgramResult Update(const std::string& options = "") const {
        return pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " update " + Quoted(install_.Path()) + " " +
                                    options);
    }
    bool Installed(const std::string& name) const { return fs::exists(install_ / name); }
    // The name that the archive of that last URL segment is downloaded to.
    static std::string Stored(const std::string& segment) { return pc::kStoredArchivePrefix + segment; }
    std::string Ledger() const {
        return Installed("tqm_patch.ini") ? ReadFileBytes(install_ / "tqm_patch.ini") : "";
    }
    std::string Requests() const { return ReadFileBytes((server_->StateDir() / "access.log").string()); }

    TempDir content_;
    TempDir install_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

// An executable entry as made on Unix.
pc::test::ZipEntryDef UnixProgram(const std::string& name, const std::string& text) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = text;
    entry.versionMadeBy = pc::test::kMadeByUnix;
    entry.externalAttr = 0100755u << 16;
    return entry;
}

// A deflated entry whose central directory holds a CRC-32 that its data does not have.
pc::test::ZipEntryDef WithWrongCrc(const std::string& name, const std::string& data) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = data;
    entry.centralCrc = 0xDEADBEEF;
    return entry;
}

// The program a patch brings: records what the installation looked like while it ran (the archive is
// kept under its stored name while it comes).
const std::string kSetupScript =
    "#!/bin/sh\n"
    "cd \"$(dirname \"$0\")\" || exit 1\n"
    "{ [ -e 'tqm_download\\p0042.gpf.zip' ] && echo archive present || echo archive gone\n"
    "  [ -e tqm_patch.ini ] && echo ledger present || echo ledger absent\n"
    "  cat data/readme.txt; } > marker.txt\n";

// The Linux patchctl for the scenarios both editions share. Its archive's name on the way is one file name
// in the installation, '\\' and all.
class LinuxPatchctl : public pc::test::PatchctlEdition {
public:
    std::string Missing() const override { return ""; }
    std::vector<std::string> Words() const override { return {PATCHCTL_PATH}; }
    std::string OperatorTool() const override { return PATCHCTL_PATH; }
    fs::path StoredArchive(const std::string& install, const std::string& segment) const override {
        return install + pc::kStoredArchivePrefix + segment;
    }
    fs::path ResumeState(const std::string& install, const std::string& segment) const override {
        return install + pc::kResumeStatePrefix + segment;
    }
    std::string SlowRate() const override { return "1m"; }
    std::chrono::seconds Patience() const override { return std::chrono::seconds(30); }
    pc::test::ZipEntryDef SlowProgram() const override {
        return UnixProgram("slow.sh", "#!/bin/sh\nsleep 1\n");
    }
    std::string SlowProgramRun() const override { return "slow.sh"; }
    // It ran after extraction and after the archive was removed, before the patch was recorded.
    SetupProgram Setup(const std::string&) const override {
        return {UnixProgram("setup.sh", kSetupScript), "setup.sh", "marker.txt",
                "archive gone\nledger absent\nread me\n"};
    }
};
const LinuxPatchctl kLinuxPatchctl;
INSTANTIATE_TEST_SUITE_P(Linux, UpdateScenario, ::testing::Values(&kLinuxPatchctl),
                         [](const auto&) { return std::string("patchctl"); });
INSTANTIATE_TEST_SUITE_P(Linux, GameFiles, ::testing::Values(&kLinuxPatchctl),
                         [](const auto&) { return std::string("patchctl"); });
INSTANTIATE_TEST_SUITE_P(Linux, ReleaseScenario, ::testing::Values(&kLinuxPatchctl),
                         [](const auto&) { return std::string("patchctl"); });

TEST_F(UpdateEndToEnd, AnAppliedLaterRowSupersedesTheEarlierOne) {
    ServeArchive("p11.zip", ZipBuilder().Deflated("from11.txt", "11").Build());
    ServeArchive("p12.zip", ZipBuilder().Deflated("from12.txt", "12").Build());
    ServeList(Row(11, "p11.zip", 100, "", 7) + Row(12, "p12.zip", 100, "", 7));
    install_.Write("tqm_patch.ini", "12\r\n");

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- No updates has been found\n");
    EXPECT_FALSE(Installed("from11.txt"));
    EXPECT_EQ(Ledger(), "12\r\n");
}

TEST_F(UpdateEndToEnd, EntryWithABadChecksumUnderEachFailurePolicy) {
    ServeArchive("p7.zip", ZipBuilder()
                               .Deflated("a.txt", "first")
                               .Add(WithWrongCrc("bad.txt", "damaged"))
                               .Deflated("z.txt", "last")
                               .Build());
    ServeList(Row(7, "p7.zip", 100, "", 0));
    const std::string failure =
        "ZipArchiver: Invalid size or check sum of file or unsupported compression format"
        " - Native error: 00008. File processing error, possibly disk is full\n";
    struct Case {
        const char* options;
        int dialogs;
        bool lastWritten;
    };
    // Abort, the default, ends the run unrecorded: see AnAbortedExtractionIsNotRecordedAndKeepsTheOldFiles.
    for (const Case& c : {Case{"--on-failure ignore", 1, true}, Case{"--on-failure retry-once", 2, true}}) {
        SCOPED_TRACE(c.options);
        fs::remove(install_ / "tqm_patch.ini");
        fs::remove(install_ / "z.txt");
        const ProgramResult r = Update(c.options);
        // The run went through, but an entry is missing: not a success.
        EXPECT_EQ(r.exitCode, 4) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: p7\n"
                         "- Update process completed\n");
        std::string dialogs;
        for (int i = 0; i < c.dialogs; ++i)
            dialogs += failure;
        EXPECT_EQ(r.err, dialogs + "patchctl update: 1 entry was left out of the extraction; its patch is "
                                   "recorded all the same\n");
        // When the entry is left out, the patch counts as applied; the damaged file is never left behind.
        EXPECT_EQ(Ledger(), "7\r\n");
        EXPECT_EQ(ReadFileBytes(install_ / "a.txt"), "first");
        EXPECT_FALSE(Installed("bad.txt"));
        EXPECT_EQ(Installed("z.txt"), c.lastWritten);
        EXPECT_FALSE(Installed(Stored("p7.zip")));
    }
}

TEST_F(UpdateEndToEnd, AProgramThatCannotBeStartedIsReportedAndThePatchRecorded) {
    ServeArchive("p8.zip", ZipBuilder().Deflated("eight.txt", "8").Build());
    ServeList(Row(8, "p8.zip", 100, "setup.exe", 0));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p8\n"
                     "- Cannot run: setup.exe\n"
                     "- Update process completed\n");
    EXPECT_TRUE(Installed("eight.txt"));
    EXPECT_EQ(Ledger(), "8\r\n");
}

// A row whose program leaves the installation runs nothing and is recorded as a program that cannot start.
TEST_F(UpdateEndToEnd, AProgramOutsideTheInstallationIsNeverRun) {
    const std::string outside =
        "../" + fs::path(content_.Path()).parent_path().filename().string() + "/outside.sh";
    content_.Write("outside.sh", "#!/bin/sh\n: > '" + content_ / "outside-ran" + "'\n");
    fs::permissions(content_ / "outside.sh", fs::perms::owner_all);
    ServeArchive("p9.zip", ZipBuilder().Deflated("nine.txt", "9").Build());
    ServeList(Row(9, "p9.zip", 100, outside, 0));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p9\n"
                     "- Cannot run: " +
                         outside +
                         "\n"
                         "- Update process completed\n");
    EXPECT_FALSE(fs::exists(content_ / "outside-ran"));
    EXPECT_TRUE(Installed("nine.txt"));
    EXPECT_EQ(Ledger(), "9\r\n");
}

TEST_F(UpdateEndToEnd, InstallationWithoutConfiguration) {
    fs::remove(install_ / "Config.ini");
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Essential file missing: Config.ini\n");
    EXPECT_TRUE(fs::is_empty(install_.Path()));
}

// The archive is downloaded under a name of its own, so a patch may bring a file named like itself.
TEST_F(UpdateEndToEnd, APatchMayHoldAFileNamedLikeItsArchive) {
    ServeArchive("p9.zip", ZipBuilder().Deflated("p9.zip", "a file of the game").Build());
    ServeList(Row(9, "p9.zip", 100, "", 0));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(install_ / "p9.zip"), "a file of the game");
    EXPECT_FALSE(Installed(Stored("p9.zip")));
    EXPECT_EQ(Ledger(), "9\r\n");
}

// A damaged entry over a file the game already has: the old file survives the failure with its bytes.
// Abort (the default) ends the run with the patch unrecorded; the next run applies it again.
TEST_F(UpdateEndToEnd, AnAbortedExtractionIsNotRecordedAndKeepsTheOldFiles) {
    install_.Write("bad.txt", "the old bad.txt");
    install_.Write("z.txt", "the old z.txt");
    ServeArchive("p7.zip", ZipBuilder()
                               .Deflated("a.txt", "first")
                               .Add(WithWrongCrc("bad.txt", "damaged"))
                               .Deflated("z.txt", "last")
                               .Build());
    ServeList(Row(7, "p7.zip", 100, "", 0));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p7\n"
                     "- The update did not finish\n");
    EXPECT_EQ(r.err,
              "ZipArchiver: Invalid size or check sum of file or unsupported compression format"
              " - Native error: 00008. File processing error, possibly disk is full\n"
              "patchctl update: the extraction was aborted; the patch is not recorded and the run ends\n");
    EXPECT_EQ(Ledger(), "");
    EXPECT_EQ(ReadFileBytes(install_ / "bad.txt"), "the old bad.txt");
    EXPECT_EQ(ReadFileBytes(install_ / "z.txt"), "the old z.txt");
    EXPECT_TRUE(Installed("tmp_PatchList.ini"));
    EXPECT_TRUE(Installed(Stored("p7.zip")));

    const ProgramResult again = Update("--on-failure ignore");
    EXPECT_EQ(again.exitCode, 4) << again.err; // bad.txt was left out
    EXPECT_EQ(Ledger(), "7\r\n");
    EXPECT_EQ(ReadFileBytes(install_ / "bad.txt"), "the old bad.txt");
    EXPECT_EQ(ReadFileBytes(install_ / "z.txt"), "last");
}

// The disk has room for a patch's archive but not for extracting it over a file the game has: that is
// told before the first file is written, the file survives, the patch is not recorded and the run ends
// with the space needed and free. The archive came whole, so the next start (with room again) applies it
// without fetching it again: the list's SHA-256 vouches for it without a request, or else the server
// confirms that its file is unchanged (416 to a range after the kept bytes, under the kept validator).
TEST_F(UpdateEndToEnd, ADiskTooSmallForTheExtractionKeepsTheOldFileAndTheCompleteArchive) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    for (const bool withSha : {false, true}) {
        SCOPED_TRACE(withSha ? "with SHA-256" : "with the server's validator");
        TempDir mountPoint;
        // The margin every patch leaves free, and 400 KiB besides.
        if (::mount("tmpfs", mountPoint.Path().c_str(), "tmpfs", 0, "size=65936k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        struct Unmount {
            std::string at;
            ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
        } unmount{mountPoint.Path()};
        fs::copy_file(install_ / "Config.ini", mountPoint / "Config.ini");
        const std::string old(50 << 10, 'o');
        mountPoint.Write("big.dat", old);
        const std::string fresh = pc::test::NoiseBytes(300 << 10, 7);
        const std::string name = withSha ? "p15.zip" : "p14.zip";
        const int id = withSha ? 15 : 14;
        ServeArchive(name, ZipBuilder().Stored("big.dat", fresh).Build()); // fits, but not twice
        const std::string archive = ReadFileBytes(content_ / ("patches/" + name));
        std::string row = Row(id, name, 100, "", 0);
        if (withSha) {
            pc::TSha256 hasher;
            hasher.Update(archive.data(), archive.size());
            row.insert(row.size() - 2, hasher.HexDigest());
        }
        ServeList(row);
        const std::string shown = name.substr(0, 3);
        const std::string update = Quoted(PATCHCTL_PATH) + " update " + Quoted(mountPoint.Path());

        ProgramResult r = pc::test::RunProgram(update);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: " +
                             shown +
                             "\n"
                             "- The update did not finish\n");
        struct statvfs disk {};
        ASSERT_EQ(::statvfs(mountPoint.Path().c_str(), &disk), 0);
        // 300 KiB and the margin; the archive and the old file hold what is left of the 400 KiB.
        EXPECT_EQ(r.err, "Not enough disk space: 65 MiB needed, " +
                             std::to_string(disk.f_bavail * disk.f_frsize >> 20) + " MiB free [" +
                             mountPoint.Path() + "].\n");
        EXPECT_EQ(ReadFileBytes(mountPoint / "big.dat"), old);
        EXPECT_FALSE(fs::exists(mountPoint / "tqm_patch.ini"));
        for (const auto& entry : fs::directory_iterator(mountPoint.Path()))
            EXPECT_EQ(entry.path().filename().string().find(".pc-part"), std::string::npos) << entry.path();
        EXPECT_EQ(ReadFileBytes(mountPoint / Stored(name)), archive);

        // Room again: the kept archive is applied, and only then removed.
        ASSERT_EQ(::mount("tmpfs", mountPoint.Path().c_str(), "tmpfs", MS_REMOUNT, "size=80m"), 0);
        r = pc::test::RunProgram(update);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: " +
                             shown +
                             "\n"
                             "- Update process completed\n");
        EXPECT_EQ(ReadFileBytes(mountPoint / "big.dat"), fresh);
        EXPECT_EQ(ReadFileBytes(mountPoint / "tqm_patch.ini"), std::to_string(id) + "\r\n");
        EXPECT_FALSE(fs::exists(mountPoint / Stored(name)));
        EXPECT_FALSE(fs::exists(mountPoint / (pc::kResumeStatePrefix + name)));
        const auto requests = LogLinesFor(Requests(), "/patches/" + name);
        if (withSha) {
            EXPECT_EQ(requests.size(), 1u) << Requests();
        } else {
            ASSERT_EQ(requests.size(), 2u) << Requests();
            EXPECT_NE(requests[1].find("\" 416 "), std::string::npos) << requests[1];
        }
    }
}

// An archive whose local headers the repair path cannot accept is no archive: nothing is recorded.
TEST_F(UpdateEndToEnd, ADamagedArchiveWithoutAnyUsableEntryIsInvalid) {
    // A local header's signature whose header claims a name running far past the end: no directory, no
    // end record, and nothing the repair path can accept.
    std::string damaged = std::string("PK\x03\x04", 4) + std::string(26, '\xff') + std::string(200, 'x');
    ServeArchive("p12.zip", damaged);
    ServeList(Row(12, "p12.zip", 100, "", 0));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Invalid archive file. - Native error: 00035.\n");
    EXPECT_EQ(Ledger(), "");
}

// A patch made on Windows carries no Unix mode: the program it replaces, running meanwhile, stays
// executable, and the running program goes on undisturbed. (The launcher itself is never a patch's.)
TEST_F(UpdateEndToEnd, APatchFromWindowsReplacesARunningProgramAndKeepsItExecutable) {
    fs::copy_file("/bin/sleep", install_ / "game-server");
    fs::permissions(install_ / "game-server", fs::perms(0755));
    TempDir logs;
    const pid_t running = pc::test::SpawnChild({install_ / "game-server", "30"}, logs / "out", logs / "err");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string replacement = "#!/bin/sh\necho new program\n";
    ServeArchive("p13.zip", ZipBuilder().Deflated("game-server", replacement).Build()); // made on DOS
    ServeList(Row(13, "p13.zip", 100, "", 0));
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(install_ / "game-server"), replacement);
    EXPECT_EQ(fs::status(install_ / "game-server").permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(::kill(running, 0), 0) << "the running program was disturbed";
    ::kill(running, SIGKILL);
    pc::test::WaitChild(running, std::chrono::seconds(5));
    EXPECT_EQ(pc::test::RunProgram(Quoted(install_ / "game-server")).out, "new program\n");
}

// On a terminal the log's last line follows the download, written over in place, and ends as the
// Downloaded line; off a terminal (every other case here) only that final line is printed.
TEST_F(UpdateEndToEnd, OnATerminalTheProgressLineIsWrittenOverInPlace) {
    if (::system("script --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs util-linux's script for a terminal";
    pc::test::NginxOptions slow;
    slow.serverDirectives = "limit_rate 1m;";
    StartServer(slow);
    ServeArchive("p40.zip", ZipBuilder().Stored("big.bin", pc::test::NoiseBytes(2 << 20, 40)).Build());
    ServeList(Row(40, "p40.zip", 100, "", 0));
    TempDir logs;
    const ProgramResult r = pc::test::RunProgram(
        "script -qefc " +
        Quoted(Quoted(PATCHCTL_PATH) + " update " + Quoted(install_.Path()) + " 2>/dev/null") + " " +
        Quoted(logs / "typescript"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The terminal turns each line end into CR LF.
    const std::string& out = r.out;
    EXPECT_EQ(out.rfind("- Searching for updates...\r\n- Downloading p40 (1 of 1)\r\n", 0), 0u) << out;
    const std::string over = "\033[A\r\033[K";
    EXPECT_NE(out.find(over + "- Downloading p40 (1 of 1): "), std::string::npos) << out;
    EXPECT_NE(out.find(" of 2.0 MB, "), std::string::npos) << out;
    const std::string end = over + "- Downloaded: p40\r\n- Update process completed\r\n";
    ASSERT_GE(out.size(), end.size());
    EXPECT_EQ(out.substr(out.size() - end.size()), end) << out;
    EXPECT_EQ(Ledger(), "40\r\n");
}

// Consecutive downloads from one server share their connections.
TEST_F(UpdateEndToEnd, ManySmallPatchesShareAHandfulOfConnections) {
    std::string list;
    for (int id = 1; id <= 200; ++id) {
        const std::string name = "s" + std::to_string(id) + ".zip";
        ServeArchive(name, ZipBuilder().Deflated("small/" + std::to_string(id) + ".txt", "x").Build());
        list += Row(id, name, 100, "", 0);
    }
    ServeList(list);
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> connections;
    for (const std::string& line : LogLinesFor(Requests(), "connection="))
        connections.insert(line.substr(line.rfind("connection=")));
    EXPECT_LE(connections.size(), 5u);
    const std::string ledger = Ledger();
    EXPECT_EQ(std::count(ledger.begin(), ledger.end(), '\n'), 200);
}

} // namespace
