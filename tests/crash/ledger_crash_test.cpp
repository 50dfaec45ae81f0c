// A process saving the ledger is killed at random moments: the ledger must always hold exactly the ids
// of the saves that finished, never a torn or emptied file.
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;
using pc::test::ReadFileBytes;

// The ledger after k finished saves: 1 to k, one per line, each ended by CR LF.
std::string LedgerOf(long k) {
    std::string text;
    for (long id = 1; id <= k; ++id)
        text += std::to_string(id) + "\r\n";
    return text;
}

TEST(LedgerCrash, SavesKilledAtRandomMomentsLeaveTheOldOrTheNewLedger) {
    // On the real disk, where a save takes long enough to be caught in the middle.
    pc::test::TempDir dir;
    const std::string ledger = dir / "tqm_patch.ini";
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> delayMicros(0, 15000);
    // The kills fall within the first 15 ms of saving, after the writer has started: a sanitizer's
    // start-up alone can take longer than that.
    const std::chrono::microseconds startup = [&] {
        pc::test::TempDir probe;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = pc::test::SpawnChild({LEDGER_WRITER_PATH, probe.Path(), "1"}, probe / "out.txt",
                                               probe / "err.txt");
        while (!fs::exists(probe / "tqm_patch.ini") &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto took = std::chrono::steady_clock::now() - start;
        ::kill(pid, SIGKILL);
        pc::test::WaitChild(pid, std::chrono::seconds(10));
        return std::chrono::duration_cast<std::chrono::microseconds>(took);
    }();
    long saved = 0;
    int caughtMidSave = 0;
    for (int round = 0; round < 200; ++round) {
        const pid_t pid = pc::test::SpawnChild({LEDGER_WRITER_PATH, dir.Path(), std::to_string(saved + 1)},
                                               dir / "out.txt", dir / "err.txt");
        std::this_thread::sleep_for(startup + std::chrono::microseconds(delayMicros(random)));
        ::kill(pid, SIGKILL);
        const auto result = pc::test::WaitChild(pid, std::chrono::seconds(10));
        ASSERT_EQ(result.signal, SIGKILL) << "the writer ended by itself: " << ReadFileBytes(dir / "err.txt");

        const std::string content = fs::exists(ledger) ? ReadFileBytes(ledger) : "";
        // Whatever the moment, the content is that of some number of whole saves, at least those before.
        const long lines = static_cast<long>(std::count(content.begin(), content.end(), '\n'));
        ASSERT_GE(lines, saved) << "round " << round << ": finished saves were lost";
        ASSERT_EQ(content, LedgerOf(lines)) << "round " << round << ": torn ledger";
        saved = lines;

        // A save killed between writing its new file and putting it in place leaves that file beside the
        // ledger; it is never taken for the ledger. Cleared here so that each round starts alike.
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".tqm_patch.ini\\", 0) == 0) {
                ++caughtMidSave;
                fs::remove(entry.path());
            }
        }
    }
    EXPECT_GT(saved, 0);
    // The kills must have hit saves in progress, or the test proves nothing.
    EXPECT_GT(caughtMidSave, 0);
    std::printf("  200 kills, %ld saves completed, %d caught in the middle of a save\n", saved,
                caughtMidSave);
}

} // namespace
