// Release day on loopback: 200 `patchctl update` processes reach one nginx in the same moment, and nginx
// takes only so many requests a second (limit_req), turning the rest away with 503 and a Retry-After.
// Every installation must end with the patch applied and recorded once.
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

constexpr int kLaunchers = 200;

TEST(ReleaseDay, EveryLauncherAppliesThePatchOnceWhileTheServerTurnsMostAway) {
    TempDir content;
    pc::test::NginxOptions busy;
    busy.workerConnections = 1024;
    // 300 requests a second after a burst of 50. nginx takes the first moment's 200 waiting requests in one
    // wake-up and judges them against one instant, so it turns all but the burst's away however slowly this
    // machine lets the launchers run. Their retries, spread over the second after Retry-After, meet room for
    // about 350 requests, all the lists and archives still owed, so that three attempts suffice; a server
    // with less room makes some launcher's three attempts a matter of luck.
    busy.acceptAllAtOnce = true;
    busy.httpDirectives = "limit_req_zone $binary_remote_addr zone=release:1m rate=300r/s;";
    busy.serverDirectives = "limit_req zone=release burst=50 nodelay;\n"
                            "limit_req_status 503;\n"
                            "error_page 503 @busy;\n"
                            "location @busy { add_header Retry-After 2 always; return 503; }\n";
    pc::test::NginxServer server(content.Path(), busy);
    const std::string data(64 << 10, 'r');
    content.Write("p1.zip", pc::test::ZipBuilder().Deflated("release.txt", data).Build());
    content.Write("list.txt", "1\t" + server.Url("/p1.zip") + "\t100\t\t0\t\r\n");
    const pc::test::ProgramResult config = pc::test::Patchctl(
        "config encode", pc::test::RealmConfig(server.Url("/news.html"), server.Url("/list.txt")));
    ASSERT_EQ(config.exitCode, 0) << config.err;

    std::vector<std::unique_ptr<TempDir>> installs;
    for (int i = 0; i < kLaunchers; ++i) {
        installs.push_back(std::make_unique<TempDir>());
        installs.back()->Write("Config.ini", config.out);
    }
    // Held, nginx lets the requests wait in its listen queue while the launchers start one by one; going
    // on, it meets them all at once, as a server does when a patch is published.
    server.Hold();
    std::vector<pid_t> launchers;
    for (const auto& install : installs)
        launchers.push_back(pc::test::SpawnChild({PATCHCTL_PATH, "update", install->Path()}, *install / "out",
                                                 *install / "err"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (server.WaitingConnections() < kLaunchers && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int waited = server.WaitingConnections();
    const auto released = std::chrono::steady_clock::now();
    server.GoOn();

    for (std::size_t i = 0; i < launchers.size(); ++i) {
        const pc::test::ChildResult r = pc::test::WaitChild(launchers[i], std::chrono::seconds(120));
        const TempDir& install = *installs[i];
        EXPECT_EQ(r.exitCode, 0) << install.Path() << ": " << ReadFileBytes(install / "err");
        ASSERT_TRUE(fs::exists(install / "tqm_patch.ini")) << install.Path();
        EXPECT_EQ(ReadFileBytes(install / "tqm_patch.ini"), "1\r\n") << install.Path();
        EXPECT_EQ(ReadFileBytes(install / "release.txt"), data) << install.Path();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count();
    const std::string log = ReadFileBytes((server.StateDir() / "access.log").string());
    int turnedAway = 0;
    for (const std::string& line : pc::test::LogLinesFor(log, "GET "))
        turnedAway += pc::test::StatusOf(line) == 503 ? 1 : 0;
    EXPECT_GE(turnedAway, kLaunchers / 2)
        << "the server turned fewer than half of the first moment's requests away";
    RecordProperty("waited_in_queue", waited);
    RecordProperty("turned_away", turnedAway);
    RecordProperty("seconds_to_the_last", std::to_string(seconds));
    std::printf(
        "%d launchers waited for the server; %d requests turned away; the last finished after %.1f s\n",
        waited, turnedAway, seconds);
}

} // namespace
