// Hostile patch lists, served by nginx on loopback to patchctl update as a separate process, so that its time
// and peak memory are its own: a list of nothing but line ends, one at the download bound and one beyond it.
// Each must end as documented within its time and memory, and the one beyond the bound leaves nothing of
// itself in the installation.
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using pc::test::ChildResult;
using pc::test::TempDir;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr std::int64_t kMiB = 1024 * 1024;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

void WriteLineEnds(const std::string& path, std::int64_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string piece(kMiB, '\n');
    for (std::int64_t left = bytes; left > 0; left -= kMiB)
        out.write(piece.data(), static_cast<std::streamsize>(std::min(left, kMiB)));
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(HostilePatchLists, BareLineEndsAndOversizedListsStayWithinTheirBounds) {
    struct Case {
        const char* name;
        std::int64_t bytes;
        int exitCode;
        std::string out; // the log
        std::string err;
        long rssMiB; // the list read once, and a fixed part for the program
    } cases[] = {
        {"50 MB of line ends", 50'000'000, 0, "- Searching for updates...\n- No updates has been found\n", "",
         48 + 32},
        {"64 MiB of line ends", 64 * kMiB, 0, "- Searching for updates...\n- No updates has been found\n", "",
         64 + 32},
        {"64 MiB and one byte", 64 * kMiB + 1, 4,
         "- Searching for updates...\n- Cannot download patch list\n",
         "patchctl update: cannot download patch list: larger than 64 MiB\n", 32},
    };
    TempDir content;
    pc::test::NginxServer server(content.Path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteLineEnds(content / "list.txt", c.bytes);
        TempDir install;
        const std::string plain =
            "client_title=T\nnewsfile_url=http://h/n\npatchlist_url=" + server.Url("/list.txt") +
            "\nserver_name=T\nwebsite_url=http://h/\ncontrolpanel_url=http://h/\n"
            "forum_url=http://h/\nclient_exe=game.exe\n";
        const auto encoded = pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " config encode --key 5A", plain);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install.Write("Config.ini", encoded.out);

        TempDir output;
        const ChildResult run =
            pc::test::RunChild({PATCHCTL_PATH, "update", install.Path()}, output / "stdout",
                               output / "stderr", std::chrono::seconds(kSanitized ? 120 : 30),
                               {"ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8"});
        std::printf("  %-22s exit %d  %6.2f s  peak %5ld MiB\n", c.name, run.exitCode, run.seconds,
                    run.peakKiB / 1024);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(ReadAll(output / "stdout"), c.out);
        EXPECT_EQ(ReadAll(output / "stderr"), c.err);
        EXPECT_LT(run.seconds, kSanitized ? 60 : 10);
        // The download takes the list in fixed pieces, the parse holds its bytes once and no line of its own;
        // a refused list is never read.
        EXPECT_LE(run.peakKiB / 1024, c.rssMiB * (kSanitized ? 3 : 1));
        // Only the configuration (and the lock file every run keeps) stays: the list goes after a completed
        // run and after a refused download.
        for (const auto& entry : fs::directory_iterator(install.Path()))
            if (entry.path().filename() != ".tqm_lock") {
                EXPECT_EQ(entry.path().filename(), "Config.ini");
            }
    }
}

} // namespace
