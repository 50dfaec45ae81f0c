#include "framework/crypto.h"
#include "launcher/config.h"
#include "launcher/list/patch_list.h"
#include "launcher/repair/game_files.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/client_fixture.h"
#include "tests/support/fake_ui.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace {

namespace fs = std::filesystem;
using pc::TFileFinding;
using pc::TFileState;
using pc::test::RecordingUi;
using pc::test::TempDir;

using pc::test::Sha256Of;

// What stands in the installation in place of each file the manifest names, and what the check makes of it.
TEST(FindDamagedFiles, EachKindOfDamageIsToldAndOnlyNamedFilesAreLookedAt) {
    const std::string big = pc::test::RandomText(3 << 20, 4); // hashed in several pieces
    std::map<std::string, std::string> files = {
        {"a/intact.bin", big},     {"a/truncated.bin", big},   {"b/changed.txt", "abc"},
        {"b/missing.txt", "gone"}, {"c/folder", "file"},       {"c/pipe", "file"},
        {"empty.txt", ""},         {"tqm_patch.ini", "1\r\n"}, {"zz/link.txt", "linked"}};
    const pc::TClientManifest manifest =
        pc::ParseClientManifest(pc::test::ClientManifestOf(files, "archive"));
    TempDir install;
    fs::create_directories(install / "a");
    fs::create_directories(install / "b");
    fs::create_directories(install / "c/folder");
    fs::create_directories(install / "zz");
    install.Write("a/intact.bin", big);
    install.Write("a/truncated.bin", big.substr(0, big.size() - 1));
    install.Write("b/changed.txt", "abd");
    ASSERT_EQ(::mkfifo((install / "c/pipe").c_str(), 0600), 0);
    install.Write("empty.txt", "");
    install.Write("tqm_patch.ini", "42\r\n"); // the ledger is the launcher's, whatever a manifest says
    install.Write("linked-target.txt", "linked");
    fs::create_symlink(install / "linked-target.txt", install / "zz/link.txt");
    ASSERT_EQ(::mkfifo((install / "unnamed-pipe").c_str(), 0600), 0);

    RecordingUi ui;
    std::vector<std::int64_t> progress;
    pc::TGameFilesOptions options;
    options.onProgress = [&](bool healing, std::int64_t done, std::int64_t total) {
        EXPECT_FALSE(healing);
        EXPECT_LE(done, total);
        progress.push_back(done);
    };
    std::vector<TFileFinding> findings;
    ASSERT_TRUE(pc::FindDamagedFiles(ui, install.Path(), manifest, options, findings));
    std::vector<std::pair<std::string, TFileState>> found;
    for (const TFileFinding& finding : findings)
        found.emplace_back(finding.name, finding.state);
    EXPECT_EQ(found,
              (std::vector<std::pair<std::string, TFileState>>{{"a/truncated.bin", TFileState::fsDamaged},
                                                               {"b/changed.txt", TFileState::fsDamaged},
                                                               {"b/missing.txt", TFileState::fsMissing},
                                                               {"c/folder", TFileState::fsDamaged},
                                                               {"c/pipe", TFileState::fsDamaged}}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), static_cast<std::int64_t>(2 * big.size() + 3 + 4 + 4 + 4 + 3 + 6));
}

TEST(FindDamagedFiles, ExitEndsTheHashingAndTellsNothing) {
    const std::string big = pc::test::RandomText(8 << 20, 5);
    std::map<std::string, std::string> files;
    TempDir install;
    for (int i = 0; i < 16; ++i) {
        files["f" + std::to_string(i)] = big;
        install.Write("f" + std::to_string(i), big);
    }
    const pc::TClientManifest manifest =
        pc::ParseClientManifest(pc::test::ClientManifestOf(files, "archive"));
    RecordingUi ui;
    ui.OnPump([&] { ui.terminated = true; });
    std::vector<TFileFinding> findings{{"left from before", TFileState::fsMissing}};
    EXPECT_FALSE(pc::FindDamagedFiles(ui, install.Path(), manifest, {}, findings));
}

// The window's log lines of a check against a client on nginx.
class CheckInWindow : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = {{"data/one.pak", pc::test::RandomText(100'000, 1)}, {"readme.txt", "read me\n"}};
        pc::test::ZipBuilder zip;
        for (const auto& [name, bytes] : files_)
            zip.Deflated(name, bytes);
        const std::string archive = zip.Build();
        content_.Write("client.zip", archive);
        manifest_ = pc::test::ClientManifestOf(files_, archive);
        content_.Write("client.manifest", manifest_);
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
        fs::create_directories(install_ / "data");
        for (const auto& [name, bytes] : files_)
            install_.Write(name, bytes);
        pc::Config().applicationDir = install_.Path();
        pc::Config().patchListUrl = server_->Url("/list.txt");
        pc::Config().hasPatchListKey = false;
        pc::Config().patchListMirrors.clear();
    }
    void ServeList(const std::string& manifestSha) {
        content_.Write("list.txt",
                       "//client " + server_->Url("/client.manifest") + " " + manifestSha + "\r\n");
    }
    std::vector<std::string> Check(const std::function<void()>& update = [] {}) {
        RecordingUi ui;
        pc::CheckGameFilesInWindow(ui, pc::Config().applicationDir, pc::Config().ListSource(), update);
        failures_ = ui.downloadFailures;
        EXPECT_FALSE(ui.progressVisible);
        return ui.logLines;
    }

    std::map<std::string, std::string> files_;
    std::string manifest_;
    TempDir content_;
    TempDir install_;
    std::unique_ptr<pc::test::NginxServer> server_;
    std::vector<std::string> failures_;
};

TEST_F(CheckInWindow, TheLogSaysWhatWasFoundAndRepaired) {
    ServeList(Sha256Of(manifest_));
    EXPECT_EQ(Check(), (std::vector<std::string>{"- Checking game files...", "- Game files are intact"}));

    install_.Write("readme.txt", "damaged");
    fs::remove(install_ / "data/one.pak");
    EXPECT_EQ(Check(),
              (std::vector<std::string>{"- Checking game files...", "- Fetching game files: 100 of 100 kB",
                                        "- Repaired: data/one.pak", "- Repaired: readme.txt",
                                        "- Game files have been repaired"}));
    EXPECT_EQ(pc::test::ReadFileBytes(install_ / "data/one.pak"), files_["data/one.pak"]);
    EXPECT_EQ(pc::test::ReadFileBytes(install_ / "readme.txt"), "read me\n");
    EXPECT_TRUE(failures_.empty());

    // An archive that has lost the file: the line says so and the reason goes with it.
    content_.Write("client.zip",
                   pc::test::ZipBuilder().Deflated("data/one.pak", files_["data/one.pak"]).Build());
    install_.Write("readme.txt", "damaged");
    EXPECT_EQ(Check(), (std::vector<std::string>{"- Checking game files...", "- Cannot repair: readme.txt",
                                                 "- Some game files could not be repaired"}));
    EXPECT_EQ(failures_,
              (std::vector<std::string>{"readme.txt: the manifest does not match the client archive: "
                                        "the client archive does not hold readme.txt"}));
    EXPECT_EQ(pc::test::ReadFileBytes(install_ / "readme.txt"), "damaged");
}

TEST_F(CheckInWindow, AServerWithoutAManifestOrWithAnotherOneIsToldApart) {
    content_.Write("list.txt", "1\t" + server_->Url("/p1.zip") + "\t10\t\t0\t\r\n");
    EXPECT_EQ(Check(), (std::vector<std::string>{"- Checking game files...",
                                                 "- This server publishes no list of the game files to check "
                                                 "them against"}));
    ServeList(Sha256Of("another manifest"));
    EXPECT_EQ(Check(), (std::vector<std::string>{"- Checking game files...",
                                                 "- Cannot download the list of the game files"}));
    EXPECT_EQ(failures_, (std::vector<std::string>{"list of the game files: the client manifest cannot be "
                                                   "downloaded: SHA-256 mismatch"}));
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini"));
}

// An installation behind the snapshot is updated before it is checked; one ahead of it is never taken back.
TEST_F(CheckInWindow, OnlyAnInstallationLevelWithTheSnapshotIsChecked) {
    content_.Write("list.txt", "1\t" + server_->Url("/p1.zip") + "\t10\t\t0\t\r\n//client " +
                                   server_->Url("/client.manifest") + " " + Sha256Of(manifest_) + " 1\r\n");
    EXPECT_EQ(Check().back(), "- The game files can be checked once the update is complete");
    EXPECT_EQ(Check([&] { install_.Write("tqm_patch.ini", "1\r\n"); }).back(), "- Game files are intact");
    install_.Write("tqm_patch.ini", "1\r\n2\r\n");
    install_.Write("readme.txt", "damaged");
    EXPECT_EQ(Check().back(),
              "- The server's game files are older than this installation; nothing was changed");
    EXPECT_EQ(pc::test::ReadFileBytes(install_ / "readme.txt"), "damaged");
}

// Where an installation's ledger stands against the snapshot's last patch, by the update run's own rules.
TEST(StandingAgainstSnapshot, LedgerAgainstTheSnapshotsLastPatch) {
    using S = pc::TSnapshotStanding;
    const std::vector<std::pair<std::int32_t, std::int32_t>> plain{{1, 0}, {2, 0}, {3, 0}},
        grouped{{1, 1}, {2, 1}};
    struct Case {
        std::vector<std::pair<std::int32_t, std::int32_t>> rows; // id, group
        std::optional<std::int32_t> last;
        std::string ledger;
        S standing;
    } cases[] = {
        {plain, 3, "1\n2\n3\n", S::ssLevel},    {plain, 3, "1\n2\n", S::ssBehind},
        {plain, 2, "1\n2\n3\n", S::ssAhead},    {plain, 2, "1\n2\n", S::ssLevel},
        {plain, 3, "1\n2\n3\n7\n", S::ssAhead}, {grouped, 2, "", S::ssBehind},
        {grouped, 1, "", S::ssLevel},           {plain, std::nullopt, "1\n2\n", S::ssBehind},
        {{}, std::nullopt, "3\n", S::ssLevel},
    };
    for (const Case& c : cases) {
        TempDir install;
        install.Write("tqm_patch.ini", c.ledger);
        auto table = std::make_unique<pc::TPatchList>();
        for (const auto& [id, group] : c.rows)
            table->items[static_cast<std::size_t>(++table->high)] = {id, "", 0, "", group, ""};
        EXPECT_EQ(pc::StandingAgainstSnapshot(*table, c.last, install.Path()), c.standing) << c.ledger;
    }
}

} // namespace
