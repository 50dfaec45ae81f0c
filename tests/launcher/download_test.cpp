#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/http_transport.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "tests/support/fake_ui.h"
#include "tests/support/fault_server.h"
#include "tests/support/file_limit.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

namespace {

using namespace std::chrono_literals;
using pc::test::ReadFileBytes;
using pc::test::RecordingUi;
using pc::test::TempDir;

std::string Pattern(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The byte counts of the reads since the bar was last put back to 0, from the progress steps; checks that
// each read pumped. Without waits between attempts every pump belongs to a read (`onlyReadsPump`).
std::vector<std::int32_t> Reads(const RecordingUi& ui, bool onlyReadsPump = true) {
    std::vector<std::int32_t> reads;
    int steps = 0;
    for (std::size_t i = 0; i < ui.calls.size(); ++i) {
        const std::string& call = ui.calls[i];
        if (call == "SetProgressPosition:0")
            reads.clear();
        if (call.rfind("StepProgress:", 0) == 0) {
            reads.push_back(std::stoi(call.substr(13)));
            ++steps;
            EXPECT_TRUE(i + 1 < ui.calls.size() && ui.calls[i + 1] == "PumpMessages") << "read " << steps;
        }
    }
    if (onlyReadsPump) {
        EXPECT_EQ(steps, ui.pumps);
    }
    return reads;
}

std::int64_t Sum(const std::vector<std::int32_t>& reads) {
    return std::accumulate(reads.begin(), reads.end(), std::int64_t{0});
}

// Reads as they must come for a body of `n` bytes: whole pieces of 1024, the rest, then the empty read.
std::vector<std::int32_t> ExpectedReads(std::int32_t n) {
    std::vector<std::int32_t> reads(static_cast<std::size_t>(n / 1024), 1024);
    if (n % 1024 != 0)
        reads.push_back(n % 1024);
    reads.push_back(0);
    return reads;
}

class DownloadFromNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        content_ = std::make_unique<TempDir>();
        content_->Write("empty.bin", "");
        content_->Write("exact.bin", Pattern(1024));
        content_->Write("big.bin", Pattern(1024 * 1024 + 1));
        server_ = std::make_unique<pc::test::NginxServer>(
            content_->Path(), pc::test::NginxOptions{"location = /hop1 { return 302 /hop2; }\n"
                                                     "location = /hop2 { return 301 /hop3; }\n"
                                                     "location = /hop3 { return 307 /big.bin; }\n"
                                                     "location = /gone { return 302 /missing.bin; }\n",
                                                     false});
    }
    static void TearDownTestSuite() {
        server_.reset();
        content_.reset();
    }

    static std::unique_ptr<TempDir> content_;
    static std::unique_ptr<pc::test::NginxServer> server_;
    TempDir dir_;
};
std::unique_ptr<TempDir> DownloadFromNginx::content_;
std::unique_ptr<pc::test::NginxServer> DownloadFromNginx::server_;

TEST_F(DownloadFromNginx, BodiesArriveWholeInReadsOf1024WithOneStepAndPumpEach) {
    struct Case {
        const char* path;
        std::int32_t size;
    } cases[] = {
        {"/empty.bin", 0}, {"/exact.bin", 1024}, {"/big.bin", 1024 * 1024 + 1}, {"/hop1", 1024 * 1024 + 1}};
    for (const auto& c : cases) {
        RecordingUi ui;
        const std::string destination = dir_ / "out.bin";
        ASSERT_TRUE(pc::Download(ui, server_->Url(c.path), destination, pc::TProgressBar::pbStep)) << c.path;
        EXPECT_EQ(ReadFileBytes(destination), Pattern(static_cast<std::size_t>(c.size))) << c.path;
        const auto reads = Reads(ui);
        EXPECT_EQ(reads, ExpectedReads(c.size)) << c.path;
        EXPECT_EQ(std::accumulate(reads.begin(), reads.end(), std::int64_t{0}), c.size) << c.path;
    }
}

TEST_F(DownloadFromNginx, WithoutProgressBarOnlyPumps) {
    RecordingUi ui;
    ASSERT_TRUE(
        pc::Download(ui, server_->Url("/exact.bin"), dir_ / "out.bin", pc::TProgressBar::pbUntouched));
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"PumpMessages", "PumpMessages"}));
}

TEST_F(DownloadFromNginx, ReplacesAnExistingFile) {
    const std::string destination = dir_.Write("out.bin", std::string(5000, 'x'));
    RecordingUi ui;
    ASSERT_TRUE(pc::Download(ui, server_->Url("/exact.bin"), destination, pc::TProgressBar::pbUntouched));
    EXPECT_EQ(ReadFileBytes(destination), Pattern(1024));
}

TEST_F(DownloadFromNginx, NotFoundFailsAndLeavesTheDestinationAlone) {
    for (const char* path : {"/missing.bin", "/gone"}) {
        RecordingUi ui;
        EXPECT_FALSE(pc::Download(ui, server_->Url(path), dir_ / "new.bin", pc::TProgressBar::pbStep))
            << path;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "new.bin")) << path;
        const std::string kept = dir_.Write("kept.bin", "the previous patch list");
        EXPECT_FALSE(pc::Download(ui, server_->Url(path), kept, pc::TProgressBar::pbStep)) << path;
        EXPECT_EQ(ReadFileBytes(kept), "the previous patch list") << path;
        EXPECT_TRUE(ui.calls.empty()) << path;
    }
}

TEST_F(DownloadFromNginx, MissingDirectoryIsInvalidFilename) {
    RecordingUi ui;
    try {
        pc::Download(ui, server_->Url("/exact.bin"), dir_ / "no-such-dir/out.bin", pc::TProgressBar::pbStep);
        ADD_FAILURE() << "no error";
    } catch (const pc::EInOutError& e) {
        EXPECT_EQ(e.Message(), "Invalid filename");
        EXPECT_EQ(e.ErrorCode, 3);
    }
}

TEST_F(DownloadFromNginx, ReadOnlyDestinationIsAccessDenied) {
    const std::string destination = dir_.Write("locked.bin", "old");
    ::chmod(destination.c_str(), 0444);
    ::chmod(dir_.Path().c_str(), 0755);
    const std::string url = server_->Url("/exact.bin");
    // Root passes every permission check, so the download runs as an unprivileged user in a child.
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                                     ::setresuid(65534, 65534, 65534) != 0))
                ::_exit(3);
            RecordingUi ui;
            try {
                pc::Download(ui, url, destination, pc::TProgressBar::pbStep);
                ::_exit(1);
            } catch (const pc::EInOutError& e) {
                ::_exit(e.Message() == "File access denied" && e.ErrorCode == 5 ? 0 : 2);
            }
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFileBytes(destination), "old");
}

TEST_F(DownloadFromNginx, OnlyWebUrlsAreFetched) {
    const std::string secret = dir_.Write("secret.txt", "local file");
    for (const std::string& url :
         {"file://" + secret, std::string("ftp://127.0.0.1:1/x"), std::string("gopher://127.0.0.1/"),
          std::string("not a url"), std::string(""), std::string("http://")}) {
        RecordingUi ui;
        EXPECT_FALSE(pc::Download(ui, url, dir_ / "out.bin", pc::TProgressBar::pbStep)) << url;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "out.bin")) << url;
    }
}

TEST(DownloadOverHttps, UnverifiedCertificateIsRefused) {
    TempDir content;
    content.Write("list.ini", "1\tu\t1\t\t0\t\r\n");
    pc::test::NginxServer server(content.Path(), pc::test::NginxOptions{"", true});
    // The server does serve the file to a client that skips verification.
    const std::string check = "curl -sk -o /dev/null '" + server.Url("/list.ini") + "'";
    ASSERT_EQ(std::system(check.c_str()), 0);
    TempDir dir;
    RecordingUi ui;
    std::string failure;
    EXPECT_FALSE(pc::Download(ui, server.Url("/list.ini"), dir / "out.bin", pc::TProgressBar::pbStep,
                              pc::DefaultDownloadLimits(), &failure));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
    EXPECT_FALSE(failure.empty());
}

class DownloadFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<pc::test::FaultServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    static std::unique_ptr<pc::test::FaultServer> server_;
    TempDir dir_;
    pc::DownloadLimits quick_{2000ms, 1s, {10ms, 30ms}};
};
std::unique_ptr<pc::test::FaultServer> DownloadFaults::server_;

TEST_F(DownloadFaults, BrokenTransfersFailAndKeepWhatArrived) {
    struct Case {
        const char* path;
        bool fileExpected;
        std::size_t bytesKept;
    } cases[] = {
        {"/drop-mid-body", true, 40000},     {"/stall-mid-body", true, 5000},
        {"/stall-after-headers", false, 0},  {"/stall-before-headers", false, 0},
        {"/close-before-headers", false, 0}, {"/redirect-loop", false, 0},
        {"/redirect-file", false, 0},        {"/redirect-ftp", false, 0},
        {"/huge-header", false, 0},          {"/status/400", false, 0},
        {"/status/403", false, 0},           {"/status/500", false, 0},
        {"/status/503", false, 0},
    };
    for (const auto& c : cases) {
        RecordingUi ui;
        const std::string destination = dir_ / "out.bin";
        std::filesystem::remove(destination);
        std::string failure;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(
            pc::Download(ui, server_->Url(c.path), destination, pc::TProgressBar::pbStep, quick_, &failure))
            << c.path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << c.path;
        EXPECT_FALSE(failure.empty()) << c.path;
        ASSERT_EQ(std::filesystem::exists(destination), c.fileExpected) << c.path << ": " << failure;
        if (c.fileExpected) {
            // Without a validator every attempt starts the file again; the last one's bytes stay.
            EXPECT_EQ(ReadFileBytes(destination), Pattern(c.bytesKept)) << c.path;
            EXPECT_EQ(Sum(Reads(ui, false)), static_cast<std::int64_t>(c.bytesKept)) << c.path;
        }
    }
}

TEST_F(DownloadFaults, StatusBelow400IsABody) {
    struct Case {
        const char* path;
        std::string body;
    } cases[] = {{"/status/200", "status 200 page"},
                 {"/status/203", "status 203 page"},
                 {"/chunked/100000", Pattern(100000)},
                 {"/bytes/3000", Pattern(3000)}};
    for (const auto& c : cases) {
        RecordingUi ui;
        ASSERT_TRUE(
            pc::Download(ui, server_->Url(c.path), dir_ / "out.bin", pc::TProgressBar::pbStep, quick_))
            << c.path;
        EXPECT_EQ(ReadFileBytes(dir_ / "out.bin"), c.body) << c.path;
        EXPECT_EQ(Reads(ui), ExpectedReads(static_cast<std::int32_t>(c.body.size()))) << c.path;
    }
}

TEST_F(DownloadFaults, AnnouncesTheExecutableNameAsClient) {
    RecordingUi ui;
    ASSERT_TRUE(pc::Download(ui, server_->Url("/user-agent"), dir_ / "agent.txt",
                             pc::TProgressBar::pbUntouched, quick_));
    EXPECT_EQ(ReadFileBytes(dir_ / "agent.txt"), pc::NamePart(pc::ExecutablePath()));
    EXPECT_EQ(ReadFileBytes(dir_ / "agent.txt"), "launcher_download_tests");
}

// A listener whose accept queue is full: the kernel drops further connection requests unanswered.
class FullListener {
public:
    FullListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ::listen(fd_, 0);
        for (int i = 0; i < 4; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
            clients_.push_back(client);
        }
        std::this_thread::sleep_for(100ms);
    }
    ~FullListener() {
        for (int client : clients_)
            ::close(client);
        ::close(fd_);
    }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> clients_;
};

TEST(DownloadLimits, ConnectingGivesUp) {
    FullListener listener;
    TempDir dir;
    RecordingUi ui;
    std::string failure;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pc::Download(ui, "http://127.0.0.1:" + std::to_string(listener.Port()) + "/x",
                              dir / "out.bin", pc::TProgressBar::pbStep,
                              pc::DownloadLimits{700ms, 60s, {10ms, 10ms}}, &failure));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 600ms) << failure;
    EXPECT_LT(elapsed, 10s) << failure;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

// A host that lets the connect limit run out is as dead as one that refuses: one attempt, no retries, and
// the run's later downloads from it fail at once.
TEST(DownloadLimits, AHostThatDoesNotAcceptInTimeIsAskedOnce) {
    FullListener listener;
    TempDir dir;
    pc::TDelivery delivery;
    pc::DownloadOptions options;
    options.delivery = &delivery;
    const pc::DownloadLimits limits{700ms, 60s, {5000ms, 5000ms}};
    const std::string url = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/x";
    for (const auto& [bound, reason] :
         {std::pair{std::chrono::milliseconds(3000), std::string()},
          std::pair{300ms, pc::HostOfUrl(url) + " did not answer earlier in this run"}}) {
        RecordingUi ui;
        std::string failure;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(
            pc::Download(ui, url, dir / "out.bin", pc::TProgressBar::pbStep, options, limits, &failure));
        EXPECT_LT(std::chrono::steady_clock::now() - start, bound) << failure;
        if (!reason.empty()) {
            EXPECT_EQ(failure, reason);
        }
    }
    EXPECT_TRUE(delivery.IsDeadHost(url));
}

std::string Sha256Of(const std::string& bytes) {
    pc::TSha256 hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.HexDigest();
}

int CallCount(const RecordingUi& ui, const std::string& call) {
    return static_cast<int>(std::count(ui.calls.begin(), ui.calls.end(), call));
}

// Broken connections and passing refusals within one download, against the counting routes of the
// faulty server. Each case has a key of its own, so the server's counters are its alone.
class DownloadRecovery : public DownloadFaults {
protected:
    pc::test::FaultServer::Stats Stats(const std::string& key) const { return server_->StatsFor(key); }
};

TEST_F(DownloadRecovery, BrokenTransfersContinueOrStartAgain) {
    constexpr std::int64_t kSize = 100000;
    struct Case {
        const char* key;
        const char* options;
        long requests;
        long bytesServed;
        bool restarted; // the bar was put back to 0 and the file begun again
    } cases[] = {
        // 40% arrive, then the rest by a range guarded by the ETag: nothing is fetched twice.
        {"resume-etag", "drop=40000", 2, kSize, false},
        {"resume-date", "drop=40000&etag=0", 2, kSize, false},
        {"resume-weak-close", "drop=40000&close=1", 2, kSize, false},
        // The server answers the range with the whole body, has no validator, or refuses the range.
        {"range-ignored", "drop=40000&range=0", 2, kSize + 40000, true},
        {"no-validator", "drop=40000&etag=0&lm=0", 2, kSize + 40000, true},
        {"range-416", "drop=40000&range=416", 3, kSize + 40000, true},
        // Refusals that mean "later".
        {"busy-twice", "fail=503&times=2", 3, kSize, false},
        {"too-many", "fail=429&times=1", 2, kSize, false},
        {"timeout", "fail=408&times=1", 2, kSize, false},
        {"bad-gateway", "fail=502&times=1", 2, kSize, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        RecordingUi ui;
        const std::string destination = dir_ / (std::string(c.key) + ".bin");
        std::string failure;
        const std::string url =
            server_->Url("/file/" + std::string(c.key) + "?size=" + std::to_string(kSize) + "&" + c.options);
        ASSERT_TRUE(pc::Download(ui, url, destination, pc::TProgressBar::pbStep, pc::DownloadOptions{},
                                 quick_, &failure))
            << failure;
        EXPECT_EQ(ReadFileBytes(destination), Pattern(kSize));
        const auto stats = Stats(c.key);
        EXPECT_EQ(stats.requests, c.requests);
        EXPECT_EQ(stats.bodyBytes, c.bytesServed);
        EXPECT_EQ(CallCount(ui, "SetProgressPosition:0"), c.restarted ? 1 : 0);
        const auto reads = Reads(ui, false);
        EXPECT_EQ(Sum(reads), kSize);
        // Whole reads of 1024 but at a break-off, which keeps its odd rest.
        EXPECT_LE(std::count_if(reads.begin(), reads.end(), [](std::int32_t n) { return n != 1024; }),
                  c.restarted ? 2 : 3);
    }
}

TEST_F(DownloadRecovery, RefusalsAreRetriedOnlyWhenTheyMayPass) {
    struct Case {
        const char* key;
        const char* options;
        long requests;
        const char* reason;
    } cases[] = {
        {"not-found", "fail=404&times=9", 1, "HTTP status 404"},
        {"forbidden", "fail=403&times=9", 1, "HTTP status 403"},
        {"always-busy", "fail=503&times=9", 3, "HTTP status 503"},
        {"always-broken", "fail=500&times=9", 3, "HTTP status 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        RecordingUi ui;
        const std::string destination = dir_ / "refused.bin";
        std::string failure;
        EXPECT_FALSE(pc::Download(ui, server_->Url("/file/" + std::string(c.key) + "?size=10&" + c.options),
                                  destination, pc::TProgressBar::pbStep,
                                  pc::DownloadOptions{"", dir_ / "refused.state"}, quick_, &failure));
        EXPECT_EQ(failure, c.reason);
        EXPECT_EQ(Stats(c.key).requests, c.requests);
        EXPECT_FALSE(std::filesystem::exists(destination));
        EXPECT_FALSE(std::filesystem::exists(dir_ / "refused.state"));
        EXPECT_TRUE(Reads(ui, false).empty());
    }
}

TEST_F(DownloadRecovery, AttemptsArePausedWithTheWindowAliveAndTheEndStopsThem) {
    pc::DownloadLimits paused = quick_;
    paused.retryPauses = {300ms, 600ms};
    {
        RecordingUi ui;
        pc::TDelivery fixed;
        fixed.SetSpreadPauses(false);
        pc::DownloadOptions options;
        options.delivery = &fixed;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(pc::Download(ui, server_->Url("/file/paced?size=10&fail=503&times=2"), dir_ / "paced.bin",
                                 pc::TProgressBar::pbUntouched, options, paused));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
        EXPECT_GT(ui.pumps, 10); // the window was pumped while waiting, not only after the two reads
    }
    {
        // The player ends the application during the first pause: no further attempt is made.
        paused.retryPauses = {5000ms, 5000ms};
        RecordingUi ui;
        ui.OnPump([&ui] { ui.terminated = true; });
        std::string failure;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pc::Download(ui, server_->Url("/file/ended?size=10&fail=503&times=9"),
                                  dir_ / "ended.bin", pc::TProgressBar::pbUntouched, pc::DownloadOptions{},
                                  paused, &failure));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(failure, "the application is ending");
        EXPECT_EQ(Stats("ended").requests, 1);
    }
}

TEST_F(DownloadRecovery, ADeadServerIsGivenUpWithinTheTotalTime) {
    pc::DownloadLimits limits = quick_;
    limits.lowSpeedTime = 60s;
    limits.noProgressTime = 2s;
    for (const char* path : {"/stall-before-headers", "/stall-after-headers", "/stall-mid-body"}) {
        RecordingUi ui;
        std::string failure;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pc::Download(ui, server_->Url(path), dir_ / "dead.bin", pc::TProgressBar::pbStep,
                                  pc::DownloadOptions{}, limits, &failure))
            << path;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 1900ms) << path;
        EXPECT_LT(elapsed, 5s) << path;
        EXPECT_EQ(failure, "time limit") << path;
    }
}

TEST_F(DownloadRecovery, TheBodyMustHashToTheGivenSha256) {
    constexpr std::int64_t kSize = 50000;
    const std::string right = Sha256Of(Pattern(kSize));
    struct Case {
        const char* key;
        const char* options;
        std::string sha256;
        bool ok;
        long requests;
    } cases[] = {
        {"sha-right", "", right, true, 1},
        {"sha-upper", "",
         [&] {
             std::string upper = right;
             for (char& ch : upper)
                 ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
             return upper;
         }(),
         true, 1},
        // Hashed across a continued transfer.
        {"sha-resumed", "drop=20000", right, true, 2},
        // A damaged first copy is thrown away and fetched once more.
        {"sha-once-wrong", "corrupt=1", right, true, 2},
        {"sha-twice-wrong", "corrupt=2", right, false, 2},
        {"sha-other", "", std::string(64, '0'), false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        RecordingUi ui;
        const std::string destination = dir_ / "hashed.bin";
        const std::string state = dir_ / "hashed.state";
        std::string failure;
        const bool ok = pc::Download(
            ui,
            server_->Url("/file/" + std::string(c.key) + "?size=" + std::to_string(kSize) + "&" + c.options),
            destination, pc::TProgressBar::pbStep, pc::DownloadOptions{c.sha256, state}, quick_, &failure);
        EXPECT_EQ(ok, c.ok) << failure;
        EXPECT_EQ(Stats(c.key).requests, c.requests);
        // A complete archive is kept for a later start, with the state that says so.
        EXPECT_EQ(std::filesystem::exists(state), c.ok);
        if (c.ok) {
            EXPECT_EQ(ReadFileBytes(destination), Pattern(kSize));
            EXPECT_EQ(Sum(Reads(ui, false)), kSize);
        } else {
            EXPECT_EQ(failure, "SHA-256 mismatch");
            EXPECT_FALSE(std::filesystem::exists(destination));
        }
    }
}

TEST_F(DownloadRecovery, ALaterStartFetchesOnlyWhatIsMissing) {
    constexpr std::int64_t kSize = 300000;
    constexpr int kReadsBeforeEnd = 100;
    for (const bool keepState : {true, false}) {
        SCOPED_TRACE(keepState ? "with state" : "without state");
        const std::string key = keepState ? "later-start" : "later-start-stateless";
        const std::string url = server_->Url("/file/" + key + "?size=" + std::to_string(kSize));
        const std::string destination = dir_ / (key + ".bin");
        const pc::DownloadOptions options{Sha256Of(Pattern(kSize)), keepState ? dir_ / (key + ".state") : ""};
        {
            RecordingUi ui;
            ui.OnPump([&ui] { ui.terminated = ui.pumps == kReadsBeforeEnd; });
            std::string failure;
            EXPECT_FALSE(
                pc::Download(ui, url, destination, pc::TProgressBar::pbStep, options, quick_, &failure));
            EXPECT_EQ(failure, "the application is ending");
            EXPECT_EQ(ReadFileBytes(destination), Pattern(kReadsBeforeEnd * 1024));
            EXPECT_EQ(std::filesystem::exists(options.resumeState), keepState);
        }
        const auto before = Stats(key);
        RecordingUi ui;
        ASSERT_TRUE(pc::Download(ui, url, destination, pc::TProgressBar::pbStep, options, quick_));
        EXPECT_EQ(ReadFileBytes(destination), Pattern(kSize));
        const auto after = Stats(key);
        EXPECT_EQ(after.requests - before.requests, 1);
        EXPECT_EQ(after.bodyBytes - before.bodyBytes, keepState ? kSize - kReadsBeforeEnd * 1024 : kSize);
        // The bar counts the bytes kept from the first start as one read.
        const auto reads = Reads(ui);
        EXPECT_EQ(Sum(reads), kSize);
        EXPECT_EQ(reads.front(), keepState ? kReadsBeforeEnd * 1024 : 1024);
        EXPECT_EQ(std::filesystem::exists(options.resumeState), keepState);
    }
}

// An archive that came whole but was not applied (a full disk during its extraction) is not fetched again
// at a later start: the list's SHA-256 vouches for it without a request, or the server confirms its
// validator by refusing a range past the end (416). A kept file that no longer hashes right is fetched
// whole again.
TEST_F(DownloadRecovery, AWholeArchiveKeptFromAnEarlierStartIsNotFetchedAgain) {
    constexpr std::int64_t kSize = 300000;
    const std::string right = Sha256Of(Pattern(kSize));
    struct Case {
        const char* key;
        const char* options; // of the second start's server
        std::string sha256;
        bool damageKeptFile;
        long requests;    // of the second start
        long bytesServed; // by the second start
    } cases[] = {
        {"kept-sha", "", right, false, 0, 0},
        {"kept-validator", "", "", false, 1, 0},
        {"kept-date", "etag=0", "", false, 1, 0},
        {"kept-sha-damaged", "", right, true, 1, kSize},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const std::string destination = dir_ / (std::string(c.key) + ".bin");
        const pc::DownloadOptions options{c.sha256, dir_ / (std::string(c.key) + ".state")};
        const std::string first = "/file/" + std::string(c.key) + "?size=" + std::to_string(kSize);
        {
            RecordingUi ui;
            ASSERT_TRUE(pc::Download(ui, server_->Url(first + "&" + c.options), destination,
                                     pc::TProgressBar::pbStep, options, quick_));
        }
        if (c.damageKeptFile) {
            std::fstream kept(destination, std::ios::in | std::ios::out | std::ios::binary);
            kept.seekp(1000);
            kept.put('!');
        }
        const auto before = Stats(c.key);
        RecordingUi ui;
        std::vector<std::pair<std::int64_t, std::int64_t>> told;
        pc::DownloadOptions again = options;
        again.onProgress = [&told](std::int64_t done, std::int64_t total) { told.emplace_back(done, total); };
        ASSERT_TRUE(pc::Download(ui, server_->Url(first + "&" + c.options), destination,
                                 pc::TProgressBar::pbStep, again, quick_));
        const auto after = Stats(c.key);
        EXPECT_EQ(after.requests - before.requests, c.requests);
        EXPECT_EQ(after.bodyBytes - before.bodyBytes, c.bytesServed);
        EXPECT_EQ(ReadFileBytes(destination), Pattern(kSize));
        EXPECT_EQ(Sum(Reads(ui, false)), kSize) << "the bar ends full";
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.back(), std::make_pair(kSize, kSize));
        // Until the caller removes it after applying the archive, the next start may still take it.
        EXPECT_TRUE(std::filesystem::exists(options.resumeState));
    }
}

// A destination whose name the file system refuses fails the download alone: no error for the run to
// end on, nothing written.
TEST_F(DownloadRecovery, ANameTheFileSystemRefusesFailsTheDownload) {
    RecordingUi ui;
    const std::string destination = dir_ / (std::string(300, 'n') + ".zip");
    std::string failure;
    EXPECT_FALSE(pc::Download(ui, server_->Url("/file/refused-name?size=1000"), destination,
                              pc::TProgressBar::pbStep, pc::DownloadOptions{}, quick_, &failure));
    EXPECT_EQ(failure, "the archive cannot be stored as " + destination + ": I/O error 36");
    EXPECT_EQ(Stats("refused-name").requests, 1);
}

TEST_F(DownloadRecovery, DiscardingRemovesThePartialFileAndItsState) {
    const std::string destination = dir_.Write("partial.bin", "part");
    const std::string state = dir_.Write("partial.state", "url\r\n\"tag\"\r\n");
    pc::DiscardPartialDownload(destination, state);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_FALSE(std::filesystem::exists(state));
    pc::DiscardPartialDownload(destination, state); // nothing left to remove is no error
}

TEST_F(DownloadRecovery, ConsecutiveDownloadsShareAConnection) {
    const long before = Stats("").connections;
    for (int i = 0; i < 50; ++i) {
        RecordingUi ui;
        const std::string key = "reuse-" + std::to_string(i);
        ASSERT_TRUE(pc::Download(ui, server_->Url("/file/" + key + "?size=3000"), dir_ / "small.bin",
                                 pc::TProgressBar::pbUntouched, pc::DownloadOptions{}, quick_))
            << i;
    }
    EXPECT_LE(Stats("").connections - before, 2);
}

TEST_F(DownloadRecovery, AFullDiskRemovesThePartialFileAndItsState) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    const std::string small = dir_ / "small-disk";
    std::filesystem::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{small};
    const std::string destination = small + "/big.bin";
    const std::string state = small + "/big.state";
    RecordingUi ui;
    try {
        pc::Download(ui, server_->Url("/file/disk-full?size=300000"), destination, pc::TProgressBar::pbStep,
                     pc::DownloadOptions{"", state}, quick_);
        ADD_FAILURE() << "no error";
    } catch (const pc::EInOutError& e) {
        EXPECT_EQ(e.Message(), "Disk full");
        EXPECT_EQ(e.ErrorCode, 101);
    }
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_FALSE(std::filesystem::exists(state));
    EXPECT_GT(Sum(Reads(ui)), 0); // it did fail while writing, not before
}

// nginx as the real server behind a later start: its own ETag and If-Range decide between continuing
// and starting again when the file changed in between.
TEST(DownloadLaterStart, AChangedFileOnTheServerIsFetchedWhole) {
    constexpr std::int64_t kSize = 200000;
    constexpr int kReadsBeforeEnd = 50;
    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed" : "unchanged");
        TempDir content;
        const std::string served = content.Write("patch.zip", Pattern(kSize));
        pc::test::NginxServer server(content.Path());
        TempDir dir;
        const std::string destination = dir / "patch.zip";
        const pc::DownloadOptions options{"", dir / "patch.state"};
        const pc::DownloadLimits limits{2000ms, 2s, {10ms, 10ms}};
        {
            RecordingUi ui;
            ui.OnPump([&ui] { ui.terminated = ui.pumps == kReadsBeforeEnd; });
            EXPECT_FALSE(pc::Download(ui, server.Url("/patch.zip"), destination, pc::TProgressBar::pbStep,
                                      options, limits));
        }
        std::string expected = Pattern(kSize);
        if (changed) {
            expected = std::string(kSize + 7, 'n');
            content.Write("patch.zip", expected);
            std::filesystem::last_write_time(served, std::filesystem::last_write_time(served) + 1h);
        }
        RecordingUi ui;
        ASSERT_TRUE(pc::Download(ui, server.Url("/patch.zip"), destination, pc::TProgressBar::pbStep, options,
                                 limits));
        EXPECT_EQ(ReadFileBytes(destination), expected);
        // The bar starts with the kept bytes when they stay, and was never stepped for them when not.
        const auto reads = Reads(ui);
        EXPECT_EQ(Sum(reads), static_cast<std::int64_t>(expected.size()));
        EXPECT_EQ(reads.front(), changed ? 1024 : kReadsBeforeEnd * 1024);
        EXPECT_EQ(CallCount(ui, "SetProgressPosition:0"), 0);
        EXPECT_TRUE(std::filesystem::exists(options.resumeState)) << "kept as complete";
        // The last line of nginx's log: the request, its status and the body bytes it sent.
        std::ifstream log(server.StateDir() / "access.log");
        std::string line, last;
        while (std::getline(log, line))
            last = line;
        const std::string answer = last.substr(last.find("\" ", last.find("GET ")) + 2);
        const std::string expectedAnswer = changed ? "200 " + std::to_string(expected.size())
                                                   : "206 " + std::to_string(kSize - kReadsBeforeEnd * 1024);
        EXPECT_EQ(answer.substr(0, expectedAnswer.size() + 1), expectedAnswer + " ") << last;
    }
}

// What a hostile or broken server can make a download cost: time (a trickle), disk (a body that never
// ends, a list beyond its bound). Each must end as a failure within its bound and leave nothing behind.
TEST_F(DownloadFaults, TricklesFailWithinTheLowSpeedLimitAndFastEnoughBodiesArrive) {
    // 1 KiB/s over 1 s periods: three attempts of about one period each, 10 ms and 30 ms apart.
    const pc::DownloadLimits limits{2000ms, 1s, {10ms, 30ms}, 120s, 1024};
    struct Case {
        std::string path;
        bool arrives;
    } cases[] = {
        {"/trickle?rate=2", false},
        {"/trickle?rate=600", false},
        {"/trickle?rate=8192&size=20000", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingUi ui;
        const std::string destination = dir_ / "slow.bin";
        std::string failure;
        const auto start = std::chrono::steady_clock::now();
        const bool fetched =
            pc::Download(ui, server_->Url(c.path), destination, pc::TProgressBar::pbStep, limits, &failure);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(fetched, c.arrives) << failure;
        if (c.arrives) {
            EXPECT_EQ(ReadFileBytes(destination), Pattern(20000));
        } else {
            EXPECT_EQ(failure, "slower than 1024 bytes per second");
            EXPECT_GE(elapsed, 3s); // each attempt had its whole period
            EXPECT_LT(elapsed, 6s);
            // The last attempt's bytes stay (no validator to continue them): a period's worth at most.
            EXPECT_LT(std::filesystem::file_size(destination), 1024u);
        }
        std::filesystem::remove(destination);
    }
}

TEST_F(DownloadFaults, ABodyThatNeverEndsFillsTheDiskAndIsRemoved) {
    // A file size limit for this process stands in for a full disk: it needs no root and no mount.
    constexpr rlim_t kRoom = 3'000'000 + 123;
    const std::string destination = dir_ / "endless.bin";
    const std::string state = dir_ / "endless.state";
    RecordingUi ui;
    const auto start = std::chrono::steady_clock::now();
    {
        pc::test::FileSizeLimit disk(kRoom);
        try {
            pc::Download(ui, server_->Url("/endless"), destination, pc::TProgressBar::pbStep,
                         pc::DownloadOptions{"", state}, quick_);
            ADD_FAILURE() << "the download ended without an error";
        } catch (const pc::EInOutError& e) {
            EXPECT_EQ(e.Message(), "Disk full");
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_FALSE(std::filesystem::exists(state));
    // It wrote until the room ran out, and no further.
    const std::int64_t written = Sum(Reads(ui));
    EXPECT_GT(written, static_cast<std::int64_t>(kRoom) - 1024);
    EXPECT_LE(written, static_cast<std::int64_t>(kRoom));
}

TEST_F(DownloadFaults, ABodyBeyondItsBoundIsRefusedAndRemoved) {
    struct Case {
        std::string path;
        std::int64_t maxBytes;
        std::string failure; // empty when the body arrives
    } cases[] = {
        {"/bytes/100000", 100000, ""},
        {"/bytes/100001", 100000, "larger than 100000 bytes"},
        {"/chunked/100001", 100000, "larger than 100000 bytes"},
        {"/endless", 1024 * 1024, "larger than 1 MiB"},
        {"/bytes/100001", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " bound " + std::to_string(c.maxBytes));
        RecordingUi ui;
        const std::string destination = dir_ / "bounded.bin";
        const std::string state = dir_ / "bounded.state";
        pc::DownloadOptions options{"", state};
        options.maxBytes = c.maxBytes;
        std::string failure;
        const bool fetched = pc::Download(ui, server_->Url(c.path), destination, pc::TProgressBar::pbStep,
                                          options, quick_, &failure);
        EXPECT_EQ(fetched, c.failure.empty());
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(std::filesystem::exists(destination), c.failure.empty());
        EXPECT_FALSE(std::filesystem::exists(state));
        if (c.maxBytes > 0) {
            EXPECT_LE(Sum(Reads(ui)), c.maxBytes);
        }
        std::filesystem::remove(destination);
    }
}

// A name planted where the download goes (a link to a launcher file, a hard link, a pipe) must never be
// written through: the file it reaches stays as it was, and the download gets a file of its own.
TEST_F(DownloadFromNginx, NamesPlantedAtTheDestinationAreNeverWrittenThrough) {
    enum class Plant { plSymlink, plDanglingSymlink, plHardLink, plPipe, plSymlinkWithResumeState };
    const std::string kPrecious = "the launcher's own configuration\r\n";
    for (const Plant plant : {Plant::plSymlink, Plant::plDanglingSymlink, Plant::plHardLink, Plant::plPipe,
                              Plant::plSymlinkWithResumeState}) {
        SCOPED_TRACE(static_cast<int>(plant));
        TempDir dir;
        const std::string precious = dir.Write("Config.ini", kPrecious);
        const std::string absent = dir / "created-through-a-link";
        const std::string destination = dir / "stored.zip";
        const std::string state = dir / "stored.state";
        const std::string url = server_->Url("/big.bin");
        switch (plant) {
        case Plant::plSymlink:
        case Plant::plSymlinkWithResumeState:
            ASSERT_EQ(::symlink(precious.c_str(), destination.c_str()), 0);
            break;
        case Plant::plDanglingSymlink:
            ASSERT_EQ(::symlink(absent.c_str(), destination.c_str()), 0);
            break;
        case Plant::plHardLink:
            ASSERT_EQ(::link(precious.c_str(), destination.c_str()), 0);
            break;
        case Plant::plPipe:
            ASSERT_EQ(::mkfifo(destination.c_str(), 0644), 0);
            break;
        }
        // A state that would continue the "partial" file behind the link at its 34th byte.
        if (plant == Plant::plSymlinkWithResumeState)
            dir.Write("stored.state", url + "\r\n\"any\"\r\n");
        RecordingUi ui;
        ASSERT_TRUE(pc::Download(ui, url, destination, pc::TProgressBar::pbStep,
                                 pc::DownloadOptions{"", state}, pc::DefaultDownloadLimits()));
        EXPECT_EQ(ReadFileBytes(precious), kPrecious);
        EXPECT_FALSE(std::filesystem::exists(absent));
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(destination)));
        EXPECT_EQ(std::filesystem::hard_link_count(destination), 1u);
        EXPECT_EQ(ReadFileBytes(destination), Pattern(1024 * 1024 + 1));
    }
}

// Trusts one test certificate for as long as it lives.
class TrustedCertificate {
public:
    explicit TrustedCertificate(const std::string& pemFile) { pc::SetTrustedCertificates(pemFile); }
    TrustedCertificate(const TrustedCertificate&) = delete;
    TrustedCertificate& operator=(const TrustedCertificate&) = delete;
    ~TrustedCertificate() { pc::SetTrustedCertificates(""); }
};

TEST(DownloadOverHttps, ARedirectToHttpIsRefusedUnlessADigestChecksTheBody) {
    TempDir content;
    const std::string body = Pattern(5000);
    content.Write("patch.zip", body);
    pc::test::NginxServer plain(content.Path());
    const std::string down = plain.Url("/patch.zip");
    pc::test::NginxServer secure(content.Path(),
                                 pc::test::NginxOptions{"location = /down { return 302 " + down +
                                                            "; }\n"
                                                            "location = /along { return 302 /patch.zip; }\n",
                                                        true});
    TrustedCertificate trust(secure.CertificateFile());
    const std::string digest = Sha256Of(body);
    struct Case {
        std::string url;
        std::string sha256;
        std::string failure; // empty when the body arrives
    } cases[] = {
        {secure.Url("/patch.zip"), "", ""},
        {secure.Url("/along"), "", ""},
        {secure.Url("/down"), "", "refused a redirect from https to " + down},
        {secure.Url("/down"), digest, ""},
        {secure.Url("/down"), std::string(64, '0'), "SHA-256 mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.sha256);
        TempDir dir;
        RecordingUi ui;
        std::string failure;
        const bool fetched = pc::Download(ui, c.url, dir / "out.bin", pc::TProgressBar::pbUntouched,
                                          pc::DownloadOptions{c.sha256, ""},
                                          pc::DownloadLimits{2000ms, 2s, {10ms, 10ms}}, &failure);
        EXPECT_EQ(fetched, c.failure.empty());
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(std::filesystem::exists(dir / "out.bin"), c.failure.empty());
        if (fetched) {
            EXPECT_EQ(ReadFileBytes(dir / "out.bin"), body);
        }
    }
}

} // namespace

// A download that broke off at the primary goes on at the mirror only when the mirror's file has the same
// validator; otherwise the mirror's whole file replaces the kept bytes. The SHA-256 checks either way.
TEST_F(DownloadRecovery, AMirrorContinuesOnlyUnderTheSameValidator) {
    constexpr int kSize = 100000;
    TempDir root;
    pc::test::FaultServer primary(root.Path()), mirror(root.Path());
    struct Case {
        const char* name;
        const char* mirrorOptions;
        long mirrorBytes;
    } cases[] = {
        {"same.zip", "-", kSize - 40000}, // the same ETag: the rest only
        {"other.zip", "etag=0", kSize},   // no validator that matches: the whole file again
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        root.Write(c.name, Pattern(kSize));
        pc::TDelivery delivery;
        // The primary breaks off after 40000 bytes, then answers every request with 404.
        const std::string prefix = primary.Url("/served/drop=40000,after=404/");
        delivery.SetMirrorRules({{prefix, {mirror.Url("/served/" + std::string(c.mirrorOptions) + "/")}}});
        pc::DownloadOptions options{Sha256Of(Pattern(kSize)), dir_ / "cross.state"};
        options.delivery = &delivery;
        RecordingUi ui;
        std::string failure;
        ASSERT_TRUE(pc::Download(ui, prefix + c.name, dir_ / "cross.bin", pc::TProgressBar::pbStep, options,
                                 quick_, &failure))
            << failure;
        EXPECT_EQ(ReadFileBytes(dir_ / "cross.bin"), Pattern(kSize));
        EXPECT_EQ(mirror.StatsFor(c.name).bodyBytes, c.mirrorBytes);
        EXPECT_EQ(primary.StatsFor(c.name).requests, 2);
    }
}
