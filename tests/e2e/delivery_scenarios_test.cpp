// Delivery at scale, the same for both editions: the list and the archives from their mirrors under the
// list's signature, rows on a host that is down going straight to their mirror, and the server's pacing
// with Retry-After. Each edition's suite instantiates these with its own patchctl.
#include "tests/archive/zip_builder.h"
#include "tests/support/fault_server.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using pc::test::LogLinesFor;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::UpdateScenario;
using pc::test::ZipBuilder;
using Clock = std::chrono::steady_clock;

// A loopback URL prefix whose port nothing listens on: every connection to it is refused.
std::string DeadHostPrefix() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

std::string Sha256Of(const fs::path& file) {
    // A peer's digest, not the launcher's own.
    return pc::test::RunProgram("sha256sum '" + file.string() + "'").out.substr(0, 64);
}

std::string RowFor(int id, const std::string& url, const std::string& sha256) {
    return std::to_string(id) + "\t" + url + "\t100\t\t0\t" + sha256 + "\r\n";
}

// The list's host is down: the list and its signature come from the Config.ini's mirror, and the archives,
// listed on the dead host, from the list's own mirror line, which the signature covers like every line.
TEST_P(UpdateScenario, TheListAndItsArchivesComeFromMirrorsUnderItsSignature) {
    const std::string operatorTool = Quoted(Edition().OperatorTool()) + " ";
    TempDir keys;
    const ProgramResult made = pc::test::RunProgram(operatorTool + "keygen " + Quoted(keys / "realm.pem"));
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string dead = DeadHostPrefix();
    const ProgramResult encoded =
        Patchctl("config encode", pc::test::RealmConfig(server_->Url("/news.html"), dead + "list.txt") +
                                      made.out + "patchlist_mirror=" + server_->Url("/elsewhere/list.txt") +
                                      "\npatchlist_mirror=" + server_->Url("/mirror/list.txt") + "\n");
    ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
    install_.Write("Config.ini", encoded.out);

    ServeArchive("p1.zip", ZipBuilder().Deflated("one.txt", "one").Build());
    ServeArchive("p2.zip", ZipBuilder().Deflated("two.txt", "two").Build());
    const std::string mirrorLine = "//mirror " + dead + "patches/ " + server_->Url("/patches/") + "\r\n";
    const std::string rows = RowFor(1, dead + "patches/p1.zip", Sha256Of(content_ / "patches/p1.zip")) +
                             RowFor(2, dead + "patches/p2.zip", Sha256Of(content_ / "patches/p2.zip"));
    fs::create_directories(content_ / "mirror");
    content_.Write("mirror/list.txt", mirrorLine + rows);
    const ProgramResult signedList =
        pc::test::RunProgram(operatorTool + "sign " + Quoted(content_ / "mirror/list.txt") + " --key " +
                             Quoted(keys / "realm.pem"));
    ASSERT_EQ(signedList.exitCode, 0) << signedList.err;

    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p1\n"
                     "- Downloaded: p2\n"
                     "- Update process completed\n");
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
    EXPECT_EQ(ReadFileBytes(install_ / "two.txt"), "two");
    EXPECT_EQ(LogLinesFor(Requests(), "/mirror/list.txt.sig").size(), 1u);
    EXPECT_EQ(LogLinesFor(Requests(), "/patches/p1.zip").size(), 1u);

    // A mirror line changed on the way (the archives sent elsewhere) breaks the signature like any line.
    const std::string signedText = ReadFileBytes(content_ / "mirror/list.txt");
    std::string changed = signedText;
    changed.replace(changed.find(server_->Url("/patches/")), server_->Url("/patches/").size(),
                    server_->Url("/other/"));
    content_.Write("mirror/list.txt", changed);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- The patch list is not signed by this server\n");

    // Without a mirror that serves it, the list cannot be downloaded: the reason is the last place's.
    fs::remove(content_ / "mirror/list.txt");
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download patch list: HTTP status 404\n");
}

// 50 rows on a host that is down cost one refused connection, then the mirror's transfers: no row waits
// for retries on the dead host. Without a mirror the first such row fails at once and ends the run.
TEST_P(UpdateScenario, RowsOnADeadHostGoStraightToTheirMirror) {
    const std::string dead = DeadHostPrefix();
    std::string rows;
    for (int id = 1; id <= 50; ++id) {
        const std::string name = "d" + std::to_string(id) + ".zip";
        ServeArchive(name, ZipBuilder().Deflated("f" + std::to_string(id) + ".txt", name).Build());
        rows += RowFor(id, dead + "patches/" + name, "");
    }
    ServeList("//mirror " + dead + "patches/ " + server_->Url("/patches/") + "\r\n" + rows);
    const auto start = Clock::now();
    ProgramResult r = Update();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string ledger;
    for (int id = 1; id <= 50; ++id)
        ledger += std::to_string(id) + "\r\n";
    EXPECT_EQ(Ledger(), ledger);
    EXPECT_EQ(ReadFileBytes(install_ / "f50.txt"), "d50.zip");
    // Two retry pauses of the dead host alone would take a second or more per row.
    EXPECT_LT(elapsed, Edition().Patience()) << "50 rows took " << elapsed.count() << " ms";
    std::printf("50 rows on a dead host with a mirror: %lld ms\n", static_cast<long long>(elapsed.count()));

    fs::remove(install_ / "tqm_patch.ini");
    ServeList(rows);
    const auto alone = Clock::now();
    r = Update();
    EXPECT_LT(Clock::now() - alone, std::chrono::seconds(5));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download: d1\n"
                     "- The update is not complete; it will be tried again at the next start\n");
    EXPECT_EQ(Ledger(), "");
}

// A busy server's Retry-After paces the next attempt, in seconds and as an HTTP date.
TEST_P(UpdateScenario, RetryAfterPacesTheNextAttempt) {
    ServeArchive("r1.zip", ZipBuilder().Deflated("r1.txt", "r1").Build());
    ServeArchive("r2.zip", ZipBuilder().Deflated("r2.txt", "r2").Build());
    pc::test::FaultServer busy(content_ / "patches");
    ServeList(RowFor(1, busy.Url("/served/fail=503,times=1,retry=2/r1.zip"), "") +
              RowFor(2, busy.Url("/served/fail=429,times=1,retry=date3/r2.zip"), ""));
    const auto start = Clock::now();
    const ProgramResult r = Update();
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
    EXPECT_EQ(busy.StatsFor("r1.zip").requests, 2);
    EXPECT_EQ(busy.StatsFor("r2.zip").requests, 2);
    // 2 s asked for in seconds, and at least 2 s left of the date's 3 at its whole-second resolution.
    EXPECT_GE(elapsed, std::chrono::seconds(4));
}

} // namespace
