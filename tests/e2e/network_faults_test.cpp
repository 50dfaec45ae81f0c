// The whole update run against a network that misbehaves: the patch list or a patch archive behind a
// dropped connection, a stall (ended by the low-speed limit), a redirect loop, a redirect to a local file,
// a 1 MiB header, a close before the headers, a self-signed certificate; and patch lists at and past the
// table's 65,536 rows. Each run must end within its time with the documented log, and leave the ledger and
// the installation as the design says: nothing recorded that was not applied, nothing applied lost.
#include "launcher/update_run.h"

#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/http_transport.h"
#include "framework/install_lock.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/install/installation.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/download.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/fake_ui.h"
#include "tests/support/fault_server.h"
#include "tests/support/file_limit.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using Lines = std::vector<std::string>;

// The faults of the scripted server; each breaks the transfer it serves.
const char* const kFaults[] = {
    "/drop-mid-body",        "/stall-mid-body",       "/stall-after-headers",
    "/stall-before-headers", "/close-before-headers", "/redirect-loop",
    "/redirect-file",        "/huge-header",          "/status/404",
};

class NetworkFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        content_ = std::make_unique<TempDir>();
        nginx_ = std::make_unique<pc::test::NginxServer>(content_->Path());
        faults_ = std::make_unique<pc::test::FaultServer>();
        content_->Write("good.zip", pc::test::ZipBuilder().Deflated("good/data.txt", kGood).Build());
    }
    static void TearDownTestSuite() {
        faults_.reset();
        nginx_.reset();
        content_.reset();
    }

    void SetUp() override {
        saved_ = pc::DefaultDownloadLimits();
        // Short enough for a test, long enough for loopback: a stall ends after two slow seconds, and the
        // attempts after a broken one follow quickly.
        pc::DefaultDownloadLimits() = pc::DownloadLimits{2000ms, 2s, {100ms, 300ms}};
        pc::Config() = pc::LauncherConfig{};
        pc::Config().applicationDir = install_.Path();
        pc::ApplyLauncherArchiverSettings(archiver_);
        archiver_.DialogProvider = &dialogs_;
        ui_.SetZipArchiver(&archiver_);
    }
    void TearDown() override { pc::DefaultDownloadLimits() = saved_; }

    // Runs the update and returns how long it took; an error that escapes is kept in `escaped_`.
    double Run(const std::string& listUrl) {
        ui_.calls.clear();
        ui_.logLines.clear();
        escaped_.clear();
        const auto start = std::chrono::steady_clock::now();
        try {
            pc::test::RunUpdate(ui_, listUrl);
        } catch (const pc::Exception& e) {
            escaped_ = e.Message();
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // The files a run left, besides the lock file that every run keeps.
    std::set<std::string> Installed() const {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(install_.Path()))
            if (e.is_regular_file() && e.path().filename() != pc::kInstallationLockFileName)
                names.insert(fs::relative(e.path(), install_.Path()).string());
        return names;
    }
    std::string Ledger() const {
        return fs::exists(install_ / pc::kLedgerFileName) ? ReadFileBytes(install_ / pc::kLedgerFileName)
                                                          : "";
    }
    void Reset() {
        for (const auto& e : fs::directory_iterator(install_.Path()))
            fs::remove_all(e.path());
    }

    static inline const std::string kGood = "the good patch's data\n";
    static std::unique_ptr<TempDir> content_;
    static std::unique_ptr<pc::test::NginxServer> nginx_;
    static std::unique_ptr<pc::test::FaultServer> faults_;
    pc::DownloadLimits saved_;
    TempDir install_;
    pc::test::RecordingUi ui_;
    pc::TZipArchiver archiver_;
    pc::testing::ScriptedDialogs dialogs_;
    std::string escaped_;
};
std::unique_ptr<TempDir> NetworkFaults::content_;
std::unique_ptr<pc::test::NginxServer> NetworkFaults::nginx_;
std::unique_ptr<pc::test::FaultServer> NetworkFaults::faults_;

TEST_F(NetworkFaults, AListThatCannotBeFetchedEndsTheRunWithItsLogLine) {
    for (const char* fault : kFaults) {
        SCOPED_TRACE(fault);
        Reset();
        const double seconds = Run(faults_->Url(fault));
        EXPECT_LT(seconds, 15.0);
        EXPECT_EQ(escaped_, "");
        EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Cannot download patch list"}));
        // At most the part of the list that arrived stays behind; nothing is applied or recorded.
        for (const std::string& name : Installed())
            EXPECT_EQ(name, pc::kPatchListFileName);
    }
}

// The run ends at the row (later ones wait for the next start), says so, and records nothing.
TEST_F(NetworkFaults, AnArchiveThatCannotBeFetchedEndsTheRunUnrecorded) {
    for (const char* fault : kFaults) {
        SCOPED_TRACE(fault);
        Reset();
        const std::string shown = pc::ArchiveDisplayName(faults_->Url(fault));
        content_->Write("list.txt", "1\t" + faults_->Url(fault) + "\t100\t\t0\t\r\n2\t" +
                                        nginx_->Url("/good.zip") + "\t100\t\t0\t\r\n");
        const double seconds = Run(nginx_->Url("/list.txt"));
        EXPECT_LT(seconds, 15.0);
        EXPECT_EQ(escaped_, "");
        EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Cannot download: " + shown,
                                       pc::kUpdateNotCompleteLine}));
        EXPECT_EQ(Ledger(), "");
        // A broken transfer may leave its partial file (and what continues it) under the archive's own
        // names, never anything else.
        const std::string stored = pc::StoredArchiveName(faults_->Url(fault));
        for (const std::string& name : Installed())
            EXPECT_TRUE(name == pc::kStoredArchivePrefix + stored || name == pc::kResumeStatePrefix + stored)
                << name;
    }
}

TEST_F(NetworkFaults, ASelfSignedCertificateIsRefused) {
    TempDir secureContent;
    pc::test::NginxOptions options;
    options.tls = true;
    pc::test::NginxServer secure(secureContent.Path(), options);
    secureContent.Write("good.zip", ReadFileBytes(*content_ / "good.zip"));
    secureContent.Write("list.txt", "2\t" + nginx_->Url("/good.zip") + "\t100\t\t0\t\r\n");

    Run(secure.Url("/list.txt"));
    EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Cannot download patch list"}));
    EXPECT_EQ(Ledger(), "");

    // The same certificate in front of an archive: that patch is not applied.
    content_->Write("list.txt", "1\t" + nginx_->Url("/good.zip") + "\t100\t\t0\t\r\n2\t" +
                                    secure.Url("/good.zip") + "\t100\t\t0\t\r\n");
    Reset();
    Run(nginx_->Url("/list.txt"));
    EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Downloaded: good",
                                   "- Cannot download: good", pc::kUpdateNotCompleteLine}));
    EXPECT_EQ(Ledger(), "1\r\n");
}

TEST_F(NetworkFaults, A65536RowListIsTakenWholeAndA65537RowListIsRefused) {
    // Every row in one group: only the last is applied, and the table must hold all of them.
    std::string list;
    for (int id = 1; id <= pc::kPatchListCapacity; ++id)
        list += std::to_string(id) + "\t" + nginx_->Url("/good.zip") + "\t100\t\t1\t\r\n";
    content_->Write("full.txt", list);
    const double seconds = Run(nginx_->Url("/full.txt"));
    EXPECT_LT(seconds, 30.0);
    EXPECT_EQ(escaped_, "");
    EXPECT_EQ(ui_.logLines,
              (Lines{"- Searching for updates...", "- Downloaded: good", "- Update process completed"}));
    EXPECT_EQ(Ledger(), "65536\r\n");

    // One row more: the run stops with an error before anything is downloaded; nothing new is recorded.
    content_->Write("over.txt", list + "65537\t" + nginx_->Url("/good.zip") + "\t100\t\t1\t\r\n");
    fs::remove_all(install_ / "good");
    Run(nginx_->Url("/over.txt"));
    EXPECT_EQ(escaped_, "The patch list holds more than 65536 patches");
    EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates..."}));
    EXPECT_EQ(Ledger(), "65536\r\n");
    EXPECT_FALSE(fs::exists(install_ / "good"));
    EXPECT_TRUE(fs::exists(install_ / pc::kPatchListFileName)); // an ended run leaves the list, as designed
}

// Trusts one test certificate for as long as it lives.
class TrustedCertificate {
public:
    explicit TrustedCertificate(const std::string& pemFile) { pc::SetTrustedCertificates(pemFile); }
    TrustedCertificate(const TrustedCertificate&) = delete;
    TrustedCertificate& operator=(const TrustedCertificate&) = delete;
    ~TrustedCertificate() { pc::SetTrustedCertificates(""); }
};

TEST_F(NetworkFaults, OnHttpsTheListAndUncheckedArchivesRefuseARedirectToHttp) {
    TempDir secureContent;
    pc::test::NginxOptions options;
    options.tls = true;
    options.serverDirectives = "location = /list-down { return 302 " + nginx_->Url("/list.txt") +
                               "; }\n"
                               "location = /good-down { return 302 " +
                               nginx_->Url("/good.zip") + "; }\n";
    pc::test::NginxServer secure(secureContent.Path(), options);
    TrustedCertificate trust(secure.CertificateFile());
    content_->Write("list.txt", "2\t" + nginx_->Url("/good.zip") + "\t100\t\t0\t\r\n");

    Run(secure.Url("/list-down"));
    EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Cannot download patch list"}));
    EXPECT_EQ(ui_.downloadFailures,
              (Lines{"patch list: refused a redirect from https to " + nginx_->Url("/list.txt")}));
    EXPECT_EQ(Ledger(), "");

    // From a list on https: an archive without a SHA-256 is not taken from http, one with it is.
    pc::TSha256 hasher;
    const std::string good = ReadFileBytes(*content_ / "good.zip");
    hasher.Update(good.data(), good.size());
    secureContent.Write("list.txt", "1\t" + secure.Url("/good-down") + "\t100\t\t0\t" + hasher.HexDigest() +
                                        "\r\n2\t" + secure.Url("/good-down") + "\t100\t\t0\t\r\n");
    Reset();
    Run(secure.Url("/list.txt"));
    EXPECT_EQ(escaped_, "");
    EXPECT_EQ(ui_.logLines, (Lines{"- Searching for updates...", "- Downloaded: good-down",
                                   "- Cannot download: good-down", pc::kUpdateNotCompleteLine}));
    EXPECT_EQ(Ledger(), "1\r\n");
    EXPECT_EQ(Installed(), (std::set<std::string>{pc::kLedgerFileName, "good/data.txt"}));
}

TEST_F(NetworkFaults, AnArchiveThatNeverEndsEndsTheRunWithDiskFullAndLeavesNoPartialFile) {
    content_->Write("list.txt", "1\t" + faults_->Url("/endless") + "\t100\t\t0\t\r\n");
    double seconds = 0;
    {
        pc::test::FileSizeLimit disk(2'000'000 + 77); // a full disk without root or a mount
        seconds = Run(nginx_->Url("/list.txt"));
    }
    EXPECT_LT(seconds, 15.0);
    EXPECT_EQ(escaped_, "Disk full");
    // The progress line stays as the error left it; the window says below it that the update did not
    // finish.
    ASSERT_EQ(ui_.logLines.size(), 2u);
    EXPECT_EQ(ui_.logLines[0], "- Searching for updates...");
    EXPECT_EQ(ui_.logLines[1].rfind("- Downloading endless (1 of 1)", 0), 0u) << ui_.logLines[1];
    EXPECT_EQ(Ledger(), "");
    // The run ended where the error arose, so the list stays; the partial archive does not.
    EXPECT_EQ(Installed(), (std::set<std::string>{pc::kPatchListFileName}));
}

} // namespace
