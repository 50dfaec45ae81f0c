// patchctl update killed while it extracts a patch: the patch must stay unrecorded, and the next run must
// download and apply it whole.
#include "launcher/install/installation.h"
#include "launcher/update_run.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// Text that deflates moderately, so that extraction takes a measurable while.
std::string Contents(int file) {
    std::mt19937 random(static_cast<unsigned>(file));
    std::string text;
    while (text.size() < 60000)
        text += "block " + std::to_string(random() % 5000) + " of file " + std::to_string(file) + "\n";
    return text;
}

constexpr int kFiles = 600;

TEST(UpdateCrash, KilledDuringExtractionThePatchStaysUnrecordedAndTheNextRunAppliesIt) {
    TempDir content;
    TempDir install;
    pc::test::NginxServer server(content.Path());
    pc::test::ZipBuilder builder;
    for (int i = 0; i < kFiles; ++i)
        builder.Deflated("data/" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".txt",
                         Contents(i));
    content.Write("p7.zip", builder.Build());
    content.Write("list.txt", "7\t" + server.Url("/p7.zip") + "\t1000\t\t0\t\r\n");

    const std::string plain = "client_title=Crash Realm\nnewsfile_url=" + server.Url("/news.html") +
                              "\npatchlist_url=" + server.Url("/list.txt") +
                              "\nserver_name=Crash Realm\nwebsite_url=http://realm.example/\n"
                              "controlpanel_url=http://realm.example/cp\nforum_url=http://realm.example/f\n"
                              "client_exe=game.exe\n";
    const auto encoded = pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " config encode --key 5A", plain);
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
    install.Write("Config.ini", encoded.out);

    TempDir logs;
    std::mt19937 random(7);
    int killedInExtraction = 0;
    for (int round = 0; round < 6; ++round) {
        const pid_t pid = pc::test::SpawnChild({PATCHCTL_PATH, "update", install.Path()}, logs / "out.txt",
                                               logs / "err.txt");
        // Extraction starts right after the download's log line.
        bool downloaded = false;
        for (int wait = 0; wait < 3000 && !downloaded; ++wait) {
            downloaded = ReadFileBytes(logs / "out.txt").find("- Downloaded: p7") != std::string::npos;
            if (!downloaded)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 40)(random)));
        ::kill(pid, SIGKILL);
        const auto result = pc::test::WaitChild(pid, std::chrono::seconds(30));
        ASSERT_TRUE(downloaded) << ReadFileBytes(logs / "err.txt");
        if (result.signal != SIGKILL) {
            // The run finished before the kill: that round proves nothing; the next starts unrecorded.
            fs::remove(install / "tqm_patch.ini");
            continue;
        }
        ++killedInExtraction;
        // Nothing was recorded, and the run left what the design says an interrupted run leaves.
        EXPECT_FALSE(fs::exists(install / "tqm_patch.ini")) << "round " << round;
        EXPECT_TRUE(fs::exists(install / (std::string(pc::kStoredArchivePrefix) + "p7.zip")))
            << "round " << round;
        EXPECT_TRUE(fs::exists(install / "tmp_PatchList.ini")) << "round " << round;
    }
    EXPECT_GE(killedInExtraction, 3) << "extraction ended too soon to be interrupted";

    const auto last = pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " update " + Quoted(install.Path()));
    EXPECT_EQ(last.exitCode, 0) << last.err;
    EXPECT_EQ(last.out, "- Searching for updates...\n- Downloaded: p7\n- Update process completed\n");
    EXPECT_EQ(ReadFileBytes(install / "tqm_patch.ini"), "7\r\n");
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "data/" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".txt";
        ASSERT_TRUE(fs::exists(install / name)) << name;
        ASSERT_TRUE(ReadFileBytes(install / name) == Contents(i)) << name << " differs";
    }
    EXPECT_FALSE(fs::exists(install / (std::string(pc::kStoredArchivePrefix) + "p7.zip")));
    EXPECT_FALSE(fs::exists(install / "tmp_PatchList.ini"));
    std::printf("  %d of 6 runs killed during extraction\n", killedInExtraction);
}

} // namespace
