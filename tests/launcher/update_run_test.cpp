// The update run inside the process, against the recording window and a real nginx on loopback: the exact
// order of the window calls, and the errors that end a run. The operator-visible results (files, ledger,
// log lines per case) are covered end to end in tests/e2e.
#include "launcher/update_run.h"

#include "framework/exceptions.h"
#include "framework/file_system.h"
#include "framework/install_lock.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/install/installation.h"
#include "launcher/list/patch_list.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/fake_ui.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::ZipBuilder;

TEST(ArchiveFileName, TakesTheLastSegmentAndCutsAtItsFirstDot) {
    struct Case {
        const char* url;
        const char* stored;
        const char* shown;
    };
    const Case cases[] = {
        {"http://host/patches/p0042.gpf.zip", "p0042.gpf.zip", "p0042"},
        {"http://host/get?file=a.zip", "get?file=a.zip", "get?file=a"},
        {"http://host/get?file=dir/a.zip", "a.zip", "a"}, // a '/' in the query still splits
        {"http://host/patches/", "", ""},
        {"http://host/.hidden", ".hidden", ""},
        {"plain", "plain", "plain"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pc::ArchiveFileName(c.url), c.stored) << c.url;
        EXPECT_EQ(pc::ArchiveDisplayName(c.url), c.shown) << c.url;
    }
}

// Notes what the window showed at the moment the run turned to the archive component.
class WatchingUi : public pc::test::RecordingUi {
public:
    pc::TZipArchiver& ZipArchiver() override {
        barWhileApplying.push_back({progressVisible, progressPosition, progressMax});
        return RecordingUi::ZipArchiver();
    }
    struct Bar {
        bool visible;
        std::int32_t position;
        std::int32_t maximum;
    };
    std::vector<Bar> barWhileApplying;
};

class UpdateRunInProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        content_ = std::make_unique<TempDir>();
        server_ = std::make_unique<pc::test::NginxServer>(content_->Path());
    }
    static void TearDownTestSuite() {
        server_.reset();
        content_.reset();
    }

    void SetUp() override {
        pc::Config() = pc::LauncherConfig{};
        pc::Config().applicationDir = install_.Path();
        pc::ApplyLauncherArchiverSettings(archiver_);
        archiver_.DialogProvider = &dialogs_;
        ui_.SetZipArchiver(&archiver_);
    }

    static std::string Url(const std::string& name) { return server_->Url("/" + name); }
    void Serve(const std::string& name, const std::string& bytes) { content_->Write(name, bytes); }

    // The calls without the per-read pumping and stepping of the downloads, and without the progress
    // line's figures (how many depends on the time a download takes).
    std::vector<std::string> CallsWithoutReads() const {
        std::vector<std::string> out;
        for (const auto& call : ui_.calls)
            if (call != "PumpMessages" && call.rfind("StepProgress:", 0) != 0 &&
                call.rfind("ReplaceLastLogLine:- Downloading ", 0) != 0)
                out.push_back(call);
        return out;
    }

    static std::unique_ptr<TempDir> content_;
    static std::unique_ptr<pc::test::NginxServer> server_;
    TempDir install_;
    WatchingUi ui_;
    pc::TZipArchiver archiver_;
    pc::testing::ScriptedDialogs dialogs_;
};
std::unique_ptr<TempDir> UpdateRunInProcess::content_;
std::unique_ptr<pc::test::NginxServer> UpdateRunInProcess::server_;

TEST_F(UpdateRunInProcess, WindowCallsOfOnePatchAndOfTheRunAfterIt) {
    const std::string archive = ZipBuilder().Stored("data/readme.txt", std::string(3000, 'r')).Build();
    Serve("calls.zip", archive);
    Serve("calls.txt", "// one patch\r\n42\t" + Url("calls.zip") + "\t900\t\t0\t\r\n");

    pc::test::RunUpdate(ui_, Url("calls.txt"));

    const std::vector<std::string> expected = {
        "AppendLogLine:- Searching for updates...",
        "SetProgressVisible:true",
        "SetProgressPosition:0",
        "SetProgressMax:900",
        "AppendLogLine:- Downloading calls (1 of 1)",
        "ReplaceLastLogLine:- Downloaded: calls",
        "ZipArchiver",
        "SetProgressVisible:false",
        "AppendLogLine:- Update process completed",
    };
    EXPECT_EQ(CallsWithoutReads(), expected);
    // The list is fetched without the bar; the archive's reads step it by exactly its bytes.
    std::int64_t stepped = 0;
    for (const auto& call : ui_.CallsNamed("StepProgress"))
        stepped += std::stoll(call.substr(13));
    EXPECT_EQ(stepped, static_cast<std::int64_t>(archive.size()));
    // A download larger than the size leaves the bar full while the archive is applied.
    ASSERT_EQ(ui_.barWhileApplying.size(), 1u);
    EXPECT_TRUE(ui_.barWhileApplying[0].visible);
    EXPECT_EQ(ui_.barWhileApplying[0].position, 900);
    EXPECT_FALSE(archiver_.IsOpen());
    EXPECT_EQ(ReadFileBytes(install_ / "data/readme.txt"), std::string(3000, 'r'));

    ui_.calls.clear();
    pc::test::RunUpdate(ui_, Url("calls.txt"));
    const std::vector<std::string> again = {"AppendLogLine:- Searching for updates...",
                                            "AppendLogLine:- No updates has been found"};
    EXPECT_EQ(CallsWithoutReads(), again);
    EXPECT_FALSE(std::filesystem::exists(install_ / pc::kPatchListFileName));
}

TEST_F(UpdateRunInProcess, NegativeSizeEndsTheRunBeforeThatRowIsDownloaded) {
    Serve("neg-ok.zip", ZipBuilder().Deflated("ok.txt", "ok").Build());
    Serve("neg-never.zip", ZipBuilder().Deflated("never.txt", "never").Build());
    Serve("neg.txt", "1\t" + Url("neg-ok.zip") + "\t10\t\t0\t\n" + "2\t" + Url("neg-never.zip") +
                         "\t-1\t\t0\t\n" + "3\t" + Url("neg-ok.zip") + "\t10\t\t0\t\n");

    try {
        pc::test::RunUpdate(ui_, Url("neg.txt"));
        FAIL() << "the run went on past a negative size";
    } catch (const pc::EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "TProgressBar property out of range");
    }
    EXPECT_EQ(ui_.logLines, (std::vector<std::string>{"- Searching for updates...", "- Downloaded: neg-ok"}));
    EXPECT_FALSE(std::filesystem::exists(install_ / "neg-never.zip"));
    EXPECT_TRUE(std::filesystem::exists(install_ / pc::kPatchListFileName));
    EXPECT_EQ(ReadFileBytes(install_ / pc::kLedgerFileName), "1\r\n");
}

TEST_F(UpdateRunInProcess, ArchiveThatCannotBeOpenedStaysAndIsNotHeldOpen) {
    const std::string page = "<html><body>Not here</body></html>\n";
    Serve("page.zip", page);
    Serve("page.txt", "5\t" + Url("page.zip") + "\t100\t\t0\t\n");

    EXPECT_THROW(pc::test::RunUpdate(ui_, Url("page.txt")), pc::Exception);
    EXPECT_FALSE(archiver_.IsOpen());
    EXPECT_EQ(ReadFileBytes(pc::StoredArchivePath(install_.Path(), Url("page.zip"))), page);
    EXPECT_FALSE(std::filesystem::exists(install_ / pc::kLedgerFileName));
    // The bar is left as the error found it, for the window's stuck state.
    EXPECT_TRUE(ui_.progressVisible);
}

// Another update of the installation holds it: the run says once that it waits, keeps pumping, and goes on
// when the other one ends; when the player ends the application meanwhile it gives up without fetching.
TEST_F(UpdateRunInProcess, WaitsForAnotherUpdateOfTheSameInstallation) {
    Serve("wait.txt", "");
    const std::vector<std::string> waiting = {"- Searching for updates...",
                                              "- Waiting for another update of this game to finish..."};
    {
        pc::TInstallationLock other(install_.Path());
        ASSERT_TRUE(other.TryAcquire());
        ui_.OnPump([&] { ui_.terminated = ui_.pumps >= 3; });
        pc::test::RunUpdate(ui_, Url("wait.txt"));
        EXPECT_EQ(ui_.logLines, waiting);
        EXPECT_FALSE(std::filesystem::exists(install_ / pc::kPatchListFileName)) << "fetched while waiting";
    }
    ui_ = WatchingUi();
    ui_.SetZipArchiver(&archiver_);
    auto other = std::make_unique<pc::TInstallationLock>(install_.Path());
    ASSERT_TRUE(other->TryAcquire());
    ui_.OnPump([&] {
        if (ui_.pumps == 5)
            other.reset(); // the other update ends
    });
    pc::test::RunUpdate(ui_, Url("wait.txt"));
    std::vector<std::string> expected = waiting;
    expected.push_back("- No updates has been found");
    EXPECT_EQ(ui_.logLines, expected);
    EXPECT_GE(ui_.pumps, 5);
}

// Partial downloads that the list will never continue (their row superseded, applied, older than an
// applied one or gone) go when a run ends, also on a row that cannot be downloaded; one that a needed row
// will continue stays for the next start.
TEST_F(UpdateRunInProcess, PartialDownloadsTheListNoLongerNeedsAreRemoved) {
    Serve("p31.zip", ZipBuilder().Stored("p31.txt", "31").Build());
    Serve("left.txt", "28\t" + Url("p28.zip") + "\t10\t\t0\t\r\n" + "29\t" + Url("p29.zip") +
                          "\t10\t\t0\t\r\n" + "30\t" + Url("p30.zip") + "\t10\t\t4\t\r\n" + "31\t" +
                          Url("p31.zip") + "\t10\t\t4\t\r\n" + "32\t" + Url("missing32.zip") +
                          "\t10\t\t0\t\r\n" + "33\t" + Url("p33.zip") + "\t10\t\t0\t\r\n");
    install_.Write("tqm_patch.ini", "20\r\n29\r\n");
    const std::string prefixes[] = {pc::kStoredArchivePrefix, pc::kResumeStatePrefix};
    for (const std::string& prefix : prefixes)
        for (const char* segment : {"p28.zip", "p29.zip", "p30.zip", "missing32.zip", "p33.zip", "gone.zip"})
            install_.Write(prefix + segment, "partial");
    install_.Write("p30.zip", "a file of the game that shares the archive's name");

    pc::test::RunUpdate(ui_, Url("left.txt"));

    EXPECT_EQ(ui_.logLines,
              (std::vector<std::string>{"- Searching for updates...", "- Downloaded: p31",
                                        "- Cannot download: missing32", pc::kUpdateNotCompleteLine}));
    for (const std::string& prefix : prefixes) {
        EXPECT_FALSE(std::filesystem::exists(install_ / (prefix + "p28.zip"))) << "older than applied 29";
        EXPECT_FALSE(std::filesystem::exists(install_ / (prefix + "p29.zip"))) << "applied";
        EXPECT_FALSE(std::filesystem::exists(install_ / (prefix + "p30.zip"))) << "superseded";
        EXPECT_FALSE(std::filesystem::exists(install_ / (prefix + "gone.zip"))) << "not in the list";
        EXPECT_FALSE(std::filesystem::exists(install_ / (prefix + "p31.zip"))) << "complete";
        EXPECT_EQ(ReadFileBytes(install_ / (prefix + "p33.zip")), "partial") << "waits behind 32";
    }
    EXPECT_EQ(ReadFileBytes(install_ / pc::kStoredArchivePrefix + "missing32.zip"), "partial");
    EXPECT_EQ(ReadFileBytes(install_ / pc::kResumeStatePrefix + "missing32.zip"), "partial");
    EXPECT_EQ(ReadFileBytes(install_ / "p30.zip"), "a file of the game that shares the archive's name");
    EXPECT_EQ(ReadFileBytes(install_ / "p31.txt"), "31");
    EXPECT_EQ(ReadFileBytes(install_ / pc::kLedgerFileName), "20\r\n29\r\n31\r\n");
    EXPECT_FALSE(std::filesystem::exists(install_ / pc::kPatchListFileName));
}

// A run killed while it extracted a patch leaves that patch's temporaries; the next run removes them at its
// start, also when a later patch of its group has superseded that one and it is never extracted again.
TEST_F(UpdateRunInProcess, TemporariesOfASupersededPatchAreRemoved) {
    Serve("p41.zip", ZipBuilder().Stored("data/maps/town.map", "41").Build());
    Serve("left41.txt",
          "40\t" + Url("p40.zip") + "\t10\t\t4\t\r\n" + "41\t" + Url("p41.zip") + "\t10\t\t4\t\r\n");
    std::filesystem::create_directories(install_ / "data/maps");
    install_.Write("data/maps/town.map", "old");
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::Named);
    std::string leftover;
    const bool made = pc::fsys::CreateTemporaryBeside(install_ / "data/maps/town.map", leftover).Valid();
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
    ASSERT_TRUE(made);
    ASSERT_TRUE(std::filesystem::exists(leftover));
    // Patch 40 was being extracted; 41, its group's later patch, is applied instead and has no such file.
    install_.Write("data/maps/.town.map.pc-part", "a file of the game");
    install_.Write("tqm_patch.ini", "41\r\n");

    pc::test::RunUpdate(ui_, Url("left41.txt"));

    EXPECT_EQ(ui_.logLines,
              (std::vector<std::string>{"- Searching for updates...", "- No updates has been found"}));
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_EQ(ReadFileBytes(install_ / "data/maps/town.map"), "old");
    EXPECT_EQ(ReadFileBytes(install_ / "data/maps/.town.map.pc-part"), "a file of the game");
}

} // namespace
