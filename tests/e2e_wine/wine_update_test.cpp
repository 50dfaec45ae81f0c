// patchctl.exe update under Wine against a real nginx on loopback: the Windows edition on the roads a patch
// can take, with every log line, the installation's files, the ledger and the exit status compared with
// what the Linux edition gives. The roads both editions share are in ../e2e/update_scenarios_test.cpp and
// run here with patchctl.exe; the cases below are this edition's own. The programs come from the
// environment the Windows build's ctest sets.
#include "tests/archive/zip_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_server.h"
#include "tests/support/game_files_scenarios.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_scenarios.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::GameFiles;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::ReleaseScenario;
using pc::test::TempDir;
using pc::test::UpdateScenario;
using pc::test::ZipBuilder;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The Windows patchctl under Wine, as a command line for the shell and as words.
std::vector<std::string> PatchctlWords() {
    return {Env("WINE_RUN"), Env("WINE_PREFIX"), Env("PATCHCTL_EXE")};
}
std::string PatchctlCommand() {
    std::string line;
    for (const std::string& word : PatchctlWords())
        line += Quoted(word) + " ";
    return line;
}

// A Windows program of ours as an entry: it writes how it was started into "<its path>.report".
pc::test::ZipEntryDef ReportingProgram(const std::string& name) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = ReadFileBytes(Env("REPORT_ARGS_EXE"));
    return entry;
}

class WineUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        if (Env("PATCHCTL_EXE").empty() || !fs::exists(Env("PATCHCTL_EXE")))
            GTEST_SKIP() << "no patchctl.exe named by PATCHCTL_EXE: run me from the windows preset's ctest";
        StartServer();
    }

    // (Re)starts nginx and writes the installation's configuration for it.
    void StartServer(pc::test::NginxOptions options = {}) {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path(), std::move(options));
        WriteConfig(server_->Url("/list.txt"));
    }
    void WriteConfig(const std::string& listUrl) {
        const ProgramResult encoded =
            pc::test::RunProgram(PatchctlCommand() + "config encode --key 5A",
                                 pc::test::RealmConfig(server_->Url("/news.html"), listUrl));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    std::string Row(int id, const std::string& archive, int size, const std::string& run, int group,
                    const std::string& sha256 = "") const {
        return RowOf(id, server_->Url("/patches/" + archive), size, run, group, sha256);
    }
    static std::string RowOf(int id, const std::string& url, int size = 100, const std::string& run = "",
                             int group = 0, const std::string& sha256 = "") {
        return std::to_string(id) + "\t" + url + "\t" + std::to_string(size) + "\t" + run + "\t" +
               std::to_string(group) + "\t" + sha256 + "\r\n"; // the hash after the fifth TAB
    }
    void ServeList(const std::string& text) { content_.Write("list.txt", text); }
    void ServeArchive(const std::string& name, const std::string& bytes) {
        fs::create_directories(content_ / "patches");
        content_.Write("patches/" + name, bytes);
    }
    ProgramResult Update(const std::string& program = "") const {
        const std::string command =
            program.empty()
                ? PatchctlCommand()
                : Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_PREFIX")) + " " + Quoted(program) + " ";
        return pc::test::RunProgram(command + "update " + Quoted(install_.Path()));
    }
    bool Installed(const std::string& name) const { return fs::exists(install_ / name); }
    std::string Ledger() const {
        return Installed("tqm_patch.ini") ? ReadFileBytes(install_ / "tqm_patch.ini") : "";
    }
    std::string Requests() const { return ReadFileBytes((server_->StateDir() / "access.log").string()); }

    TempDir content_;
    TempDir install_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

// patchctl.exe under Wine for the scenarios both editions share.
class WinePatchctl : public pc::test::PatchctlEdition {
public:
    std::string Missing() const override {
        if (Env("PATCHCTL_EXE").empty() || !fs::exists(Env("PATCHCTL_EXE")))
            return "no patchctl.exe named by PATCHCTL_EXE: run me from the windows preset's ctest";
        return "";
    }
    std::vector<std::string> Words() const override { return PatchctlWords(); }
    std::string OperatorTool() const override { return Env("LINUX_PATCHCTL"); }
    // Where the Windows edition keeps an archive while it is downloaded, and what continues it: folders of
    // their own, as '\\' separates there.
    fs::path StoredArchive(const std::string& install, const std::string& segment) const override {
        return fs::path(install) / "tqm_download" / segment;
    }
    fs::path ResumeState(const std::string& install, const std::string& segment) const override {
        return fs::path(install) / "tqm_resume" / segment;
    }
    // Slow enough that a loaded machine still sees the download half-way, at 16 s for the whole archive;
    // Wine's start-up comes first, and on a busy machine it may take a while.
    std::string SlowRate() const override { return "512k"; }
    std::chrono::seconds Patience() const override { return std::chrono::seconds(90); }
    pc::test::ZipEntryDef SlowProgram() const override { return ReportingProgram("slow.exe"); }
    std::string SlowProgramRun() const override { return "slow.exe --sleep=1500"; }
    // Its report: no arguments, the installation as the folder it ran in (the Unix root is drive Z:), and no
    // launch mark.
    SetupProgram Setup(const std::string& install) const override {
        std::string folder = "Z:" + install.substr(0, install.size() - 1);
        std::replace(folder.begin(), folder.end(), '/', '\\');
        return {ReportingProgram("setup.exe"), "setup.exe", "setup.exe.report",
                "\ncwd=" + folder + "\nenv=\n"};
    }
};
const WinePatchctl kWinePatchctl;
INSTANTIATE_TEST_SUITE_P(Wine, UpdateScenario, ::testing::Values(&kWinePatchctl),
                         [](const auto&) { return std::string("patchctl_exe"); });
INSTANTIATE_TEST_SUITE_P(Wine, GameFiles, ::testing::Values(&kWinePatchctl),
                         [](const auto&) { return std::string("patchctl_exe"); });
INSTANTIATE_TEST_SUITE_P(Wine, ReleaseScenario, ::testing::Values(&kWinePatchctl),
                         [](const auto&) { return std::string("patchctl_exe"); });

TEST_F(WineUpdate, AListBeyond64MiBIsRefusedWhileItArrives) {
    std::string list(64 * 1024 * 1024 + 1, '\n');
    ServeList(list);
    list = std::string();
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download patch list: larger than 64 MiB\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
}

// A link planted where an archive is stored must not carry the download into the launcher's configuration.
// Windows shows a hard link for what it is, so it is replaced; a Unix symbolic link (a Wine prefix has them)
// looks to Windows programs like the file it names, so the row is not downloaded and the link stays, also
// when no row needs its name.
TEST_F(WineUpdate, LinksPlantedWhereArchivesAreStoredAreNotWrittenThrough) {
    ServeArchive("p7.zip", ZipBuilder().Deflated("seven.txt", "7").Build());
    ServeList(Row(7, "p7.zip", 100, "", 0));
    const std::string config = ReadFileBytes(install_ / "Config.ini");
    struct Case {
        bool symbolic;
        const char* segment;
        int exitCode;
        std::string out, err;
        bool applied;
    } cases[] = {
        {false, "p7.zip", 0, "- Searching for updates...\n- Downloaded: p7\n- Update process completed\n", "",
         true},
        {true, "p7.zip", 4,
         "- Searching for updates...\n- Cannot download: p7\n- The update is not complete; it will be tried "
         "again at the next start\n",
         "patchctl update: cannot download p7: its stored name leads to one of the launcher's own files\n",
         false},
        {true, "unlisted.zip", 0,
         "- Searching for updates...\n- Downloaded: p7\n- Update process completed\n", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.symbolic ? "symbolic link " : "hard link ") + c.segment);
        fs::remove(install_ / "tqm_patch.ini");
        fs::remove(install_ / "seven.txt");
        fs::remove_all(install_ / "tqm_download");
        fs::create_directories(install_ / "tqm_download");
        const fs::path planted = fs::path(install_ / "tqm_download") / c.segment;
        if (c.symbolic)
            fs::create_symlink(install_ / "Config.ini", planted);
        else
            fs::create_hard_link(install_ / "Config.ini", planted);
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        ASSERT_TRUE(fs::exists(install_ / "Config.ini"));
        EXPECT_EQ(ReadFileBytes(install_ / "Config.ini"), config);
        EXPECT_EQ(Installed("seven.txt"), c.applied);
        EXPECT_EQ(Ledger(), c.applied ? "7\r\n" : "");
        EXPECT_EQ(fs::is_symlink(planted), c.symbolic);
    }
}

// The lock file is one of the launcher's own: a Unix link to it where an archive is stored (Windows programs
// see the file it names) fails the row instead of writing through, and the lock file stays as it was. The
// row ends the run as any row that cannot be downloaded does.
TEST_F(WineUpdate, ALinkToTheLockFileWhereAnArchiveIsStoredIsNotWrittenThrough) {
    ServeArchive("p7.zip", ZipBuilder().Deflated("seven.txt", "7").Build());
    ServeList(Row(7, "p7.zip", 100, "", 0));
    install_.Write(".tqm_lock", "");
    fs::create_directories(install_ / "tqm_download");
    fs::create_symlink(install_ / ".tqm_lock", fs::path(install_ / "tqm_download") / "p7.zip");
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out,
              "- Searching for updates...\n- Cannot download: p7\n- The update is not complete; it will be "
              "tried again at the next start\n");
    EXPECT_EQ(
        r.err,
        "patchctl update: cannot download p7: its stored name leads to one of the launcher's own files\n");
    EXPECT_EQ(ReadFileBytes(install_ / ".tqm_lock"), "");
    EXPECT_FALSE(Installed("seven.txt"));
}

// The running program is one of the launcher's own files: a patch that carries it applies without it.
TEST_F(WineUpdate, APatchLeavesTheRunningPatchctlAlone) {
    const std::string running = install_ / "patchctl.exe";
    fs::copy_file(Env("PATCHCTL_EXE"), running);
    ServeArchive("p9.zip", ZipBuilder().Add(ReportingProgram("patchctl.exe")).Build());
    ServeList(Row(9, "p9.zip", 100, "", 0));
    const ProgramResult r = Update(running);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("- Skipped: patchctl.exe (a file of the launcher)\n"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFileBytes(running) == ReadFileBytes(Env("PATCHCTL_EXE")));
    EXPECT_EQ(Ledger(), "9\r\n");
}

// The default browser's open command from the real registry: another type than a string is an error.
TEST_F(WineUpdate, ARegistryValueOfAnotherTypeIsAnError) {
    const std::string key = "HKLM\\SOFTWARE\\Classes\\http\\shell\\open\\command";
    const std::string reg = Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_PREFIX")) + " reg ";
    const ProgramResult saved =
        pc::test::RunProgram(reg + "export " + Quoted(key) + " " + Quoted(install_ / "saved.reg") + " /y");
    ASSERT_EQ(pc::test::RunProgram(reg + "add " + Quoted(key) + " /ve /t REG_DWORD /d 5 /f").exitCode, 0);
    ServeList("");
    const ProgramResult r = Update();
    if (saved.exitCode == 0)
        pc::test::RunProgram(reg + "import " + Quoted(install_ / "saved.reg"));
    else
        pc::test::RunProgram(reg + "delete " + Quoted(key) + " /f");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Invalid data type for ''\n");
}

// patchctl.exe against the scripted faulty server, which serves the archives of `content_/patches` under
// /served/OPTIONS/NAME.
class WineNetworkFaults : public WineUpdate {
protected:
    void SetUp() override {
        WineUpdate::SetUp();
        if (IsSkipped())
            return;
        fs::create_directories(content_ / "patches");
        faults_ = std::make_unique<pc::test::FaultServer>(content_ / "patches");
    }

    // An archive of its own under `name`, served by the faulty server with `options`.
    std::string Faulty(const std::string& options, const std::string& name, std::size_t size = 2000) {
        const std::string entry = name.substr(0, name.find('.')) + ".bin";
        ServeArchive(name, ZipBuilder().Stored(entry, pc::test::NoiseBytes(size, 7)).Build());
        return faults_->Url("/served/" + options + "/" + name);
    }
    bool Applied(const std::string& name) const { return Installed(name + ".bin"); }

    // The reasons patchctl gave on stderr, by the name of what could not be downloaded.
    static std::map<std::string, std::string> Reasons(const std::string& err) {
        std::map<std::string, std::string> reasons;
        std::istringstream in(err);
        const std::string lead = "patchctl update: cannot download ";
        for (std::string line; std::getline(in, line);) {
            EXPECT_EQ(line.rfind(lead, 0), 0u) << line;
            const auto colon = line.find(": ", lead.size());
            if (line.rfind(lead, 0) == 0 && colon != std::string::npos)
                reasons[line.substr(lead.size(), colon - lead.size())] = line.substr(colon + 2);
        }
        return reasons;
    }

    std::unique_ptr<pc::test::FaultServer> faults_;
};

// Transfers that break off and answers that say "not now" are tried again (a broken body continues with a
// range), a refused connection three times; answers that say "no" are taken at once. A row that cannot be
// downloaded ends the run, so each refusal has a run of its own after the rows that come through.
TEST_F(WineNetworkFaults, BrokenTransfersAreTriedAgainAndRefusalsAreFinal) {
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(pc::test::FreeLoopbackPort()) + "/p6.zip";
    const std::string through =
        RowOf(1, Faulty("drop=40000", "p1.zip", 100000)) + RowOf(2, Faulty("fail=503,times=2", "p2.zip")) +
        RowOf(5, Faulty("drop=0,etag=0,lm=0", "p5.zip", 50000)) + RowOf(7, Faulty("-", "p7.zip"));
    struct Refusal {
        std::string row;
        const char* shown;
        std::string reason; // empty: WinInet's own text, checked for its code below
    };
    const Refusal refusals[] = {
        {RowOf(8, Faulty("fail=404,times=1", "p3.zip")), "p3", "HTTP status 404"},
        {RowOf(9, Faulty("fail=500,times=9", "p4.zip")), "p4", "HTTP status 500"},
        {RowOf(10, refused), "p6", ""},
    };
    bool first = true;
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.shown);
        ServeList(through + refusal.row);
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(
            r.out,
            std::string("- Searching for updates...\n") +
                (first ? "- Downloaded: p1\n- Downloaded: p2\n- Downloaded: p5\n- Downloaded: p7\n" : "") +
                "- Cannot download: " + refusal.shown + "\n" +
                "- The update is not complete; it will be tried again at the next start\n");
        first = false;
        const auto reasons = Reasons(r.err);
        EXPECT_EQ(reasons.size(), 1u) << r.err;
        const std::string reason = reasons.count(refusal.shown) ? reasons.at(refusal.shown) : "";
        if (refusal.reason.empty())
            EXPECT_NE(reason.find("(WinInet error 12029)"), std::string::npos) << r.err;
        else
            EXPECT_EQ(reason, refusal.reason);
    }
    EXPECT_EQ(Ledger(), "1\r\n2\r\n5\r\n7\r\n");
    for (const char* name : {"p1", "p2", "p5", "p7"})
        EXPECT_TRUE(Applied(name)) << name;
    for (const char* name : {"p3", "p4"})
        EXPECT_FALSE(Applied(name)) << name;

    struct Expected {
        const char* key;
        long requests;
        long long bodyBytes; // -1: not compared
    };
    const long long p1 = static_cast<long long>(fs::file_size(content_ / "patches/p1.zip"));
    const long long p5 = static_cast<long long>(fs::file_size(content_ / "patches/p5.zip"));
    const Expected expected[] = {
        {"p1.zip", 2, p1}, // 40,000 bytes, then the rest with a range: nothing twice
        {"p2.zip", 3, -1}, // two 503s, then the archive on the last attempt
        {"p3.zip", 1, -1}, // a 404 is not asked again, though the next answer would be good
        {"p4.zip", 3, -1}, // three attempts, then the row is given up
        {"p5.zip", 2, p5}, // nothing to guard a range with: the second attempt starts afresh
        {"p7.zip", 1, -1},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.key);
        const pc::test::FaultServer::Stats stats = faults_->StatsFor(e.key);
        EXPECT_EQ(stats.requests, e.requests);
        if (e.bodyBytes >= 0) {
            EXPECT_EQ(stats.bodyBytes, e.bodyBytes);
        }
    }
    // Nothing of a row that was given up stays behind.
    EXPECT_FALSE(fs::exists(kWinePatchctl.StoredArchive(install_.Path(), "p3.zip")));
    EXPECT_FALSE(fs::exists(kWinePatchctl.StoredArchive(install_.Path(), "p1.zip")));
    EXPECT_FALSE(fs::exists(kWinePatchctl.ResumeState(install_.Path(), "p1.zip")));
}

// Redirects are followed (here by the transport itself, a hop at a time) to http and https only: a redirect
// to a local file or another scheme fails the row, a loop ends; a redirect within the web is followed.
TEST_F(WineNetworkFaults, RedirectsLeadOnlyToTheWeb) {
    pc::test::NginxOptions moved;
    moved.serverDirectives = "location = /moved/p5.zip { return 302 /patches/p5.zip; }";
    StartServer(moved);
    ServeArchive("p5.zip", ZipBuilder().Deflated("p5.bin", "moved").Build());
    ServeList(RowOf(1, Faulty("-", "p4.zip")) + RowOf(2, server_->Url("/moved/p5.zip")));
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p4\n"
                     "- Downloaded: p5\n"
                     "- Update process completed\n");
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
    EXPECT_TRUE(Applied("p4"));
    EXPECT_EQ(ReadFileBytes(install_ / "p5.bin"), "moved");

    // A row that cannot be downloaded ends the run: one run for each.
    const std::pair<std::string, std::string> refused[] = {
        {"redirect-file", "a redirect led away from http and https"},
        {"redirect-ftp", "a redirect led away from http and https"},
        {"redirect-loop", "more than 20 redirects"},
    };
    for (const auto& [name, reason] : refused) {
        SCOPED_TRACE(name);
        ServeList(RowOf(3, faults_->Url("/" + name)));
        r = Update();
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Cannot download: " +
                             name + "\n" +
                             "- The update is not complete; it will be tried again at the next start\n");
        EXPECT_EQ(r.err, "patchctl update: cannot download " + name + ": " + reason + "\n");
    }
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
}

// A stalled server is not among these: Wine's WinInet does not end a wait at the receive limit, so a server
// that goes silent before the headers, after them or mid-body holds the read for as long as it stays silent.
// That limit can be shown on Windows only.
TEST_F(WineNetworkFaults, AListBehindARefusedConnectionEndsTheRun) {
    WriteConfig("http://127.0.0.1:" + std::to_string(pc::test::FreeLoopbackPort()) + "/list.txt");
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_EQ(r.err.rfind("patchctl update: cannot download patch list: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(WinInet error 12029)\n"), std::string::npos) << r.err;
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
    EXPECT_EQ(Ledger(), "");
}

// WinInet verifies certificates: a list and an archive behind a self-signed one are not fetched.
TEST_F(WineNetworkFaults, ASelfSignedCertificateIsRefused) {
    TempDir secureContent;
    pc::test::NginxOptions options;
    options.tls = true;
    pc::test::NginxServer secure(secureContent.Path(), options);
    secureContent.Write("p1.zip", ZipBuilder().Deflated("p1.bin", "secret").Build());
    ServeList(RowOf(1, Faulty("-", "p2.zip")) + RowOf(2, secure.Url("/p1.zip")));
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p2\n"
                     "- Cannot download: p1\n"
                     "- The update is not complete; it will be tried again at the next start\n");
    EXPECT_EQ(r.err.rfind("patchctl update: cannot download p1: ", 0), 0u) << r.err;
    EXPECT_FALSE(Installed("p1.bin"));
    EXPECT_EQ(Ledger(), "1\r\n");

    secureContent.Write("list.txt", RowOf(1, secure.Url("/p1.zip")));
    WriteConfig(secure.Url("/list.txt"));
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_EQ(r.err.rfind("patchctl update: cannot download patch list: ", 0), 0u) << r.err;
    EXPECT_EQ(Ledger(), "1\r\n");
}

} // namespace

namespace {

// Links that already exist in the installation, as a prefix's drive links are: Unix links seen through
// Wine. The one that stays inside is followed; the one that leads out fails its entry with error 63 and
// the file it leads to stays as it was.
TEST(WineLinks, AreFollowedOnlyWhileTheyStayInside) {
    if (Env("PATCHCTL_EXE").empty() || !fs::exists(Env("PATCHCTL_EXE")))
        GTEST_SKIP() << "no patchctl.exe named by PATCHCTL_EXE: run me from the windows preset's ctest";
    TempDir root;
    fs::create_directories(root / "base/real");
    fs::create_directories(root / "victim");
    root.Write("victim/pwned.txt", "original");
    fs::create_directory_symlink("real", root / "base/saves");
    fs::create_directory_symlink("../victim", root / "base/out");
    const std::string archive = root.Write(
        "p.zip", ZipBuilder().Stored("saves/game.sav", "kept").Stored("out/pwned.txt", "escaped").Build());
    const ProgramResult r = pc::test::RunProgram(PatchctlCommand() + "extract " + Quoted(archive) + " " +
                                                 Quoted(root / "base") + " --on-failure ignore");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Unsafe file name \"out/pwned.txt\" - Native error: 00063"), std::string::npos)
        << r.err;
    EXPECT_EQ(ReadFileBytes(root / "base/real/game.sav"), "kept");
    EXPECT_EQ(ReadFileBytes(root / "victim/pwned.txt"), "original");
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "victim"), fs::directory_iterator()), 1);
}

} // namespace
