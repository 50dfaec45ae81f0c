#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "launcher/download.h"
#include "tests/support/fake_ui.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>

#include <filesystem>
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

// The byte counts of all reads, from the progress steps; checks that each read pumped exactly once.
std::vector<std::int32_t> Reads(const RecordingUi& ui) {
    std::vector<std::int32_t> reads;
    for (std::size_t i = 0; i < ui.calls.size(); ++i) {
        const std::string& call = ui.calls[i];
        if (call.rfind("StepProgress:", 0) == 0) {
            reads.push_back(std::stoi(call.substr(13)));
            EXPECT_TRUE(i + 1 < ui.calls.size() && ui.calls[i + 1] == "PumpMessages")
                << "read " << reads.size();
        }
    }
    EXPECT_EQ(static_cast<int>(reads.size()), ui.pumps);
    return reads;
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
        ASSERT_TRUE(pc::Download(ui, server_->Url(c.path), destination, true)) << c.path;
        EXPECT_EQ(ReadFileBytes(destination), Pattern(static_cast<std::size_t>(c.size))) << c.path;
        const auto reads = Reads(ui);
        EXPECT_EQ(reads, ExpectedReads(c.size)) << c.path;
        EXPECT_EQ(std::accumulate(reads.begin(), reads.end(), std::int64_t{0}), c.size) << c.path;
    }
}

TEST_F(DownloadFromNginx, WithoutProgressBarOnlyPumps) {
    RecordingUi ui;
    ASSERT_TRUE(pc::Download(ui, server_->Url("/exact.bin"), dir_ / "out.bin", false));
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"PumpMessages", "PumpMessages"}));
}

TEST_F(DownloadFromNginx, ReplacesAnExistingFile) {
    const std::string destination = dir_.Write("out.bin", std::string(5000, 'x'));
    RecordingUi ui;
    ASSERT_TRUE(pc::Download(ui, server_->Url("/exact.bin"), destination, false));
    EXPECT_EQ(ReadFileBytes(destination), Pattern(1024));
}

TEST_F(DownloadFromNginx, NotFoundFailsAndLeavesTheDestinationAlone) {
    for (const char* path : {"/missing.bin", "/gone"}) {
        RecordingUi ui;
        EXPECT_FALSE(pc::Download(ui, server_->Url(path), dir_ / "new.bin", true)) << path;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "new.bin")) << path;
        const std::string kept = dir_.Write("kept.bin", "the previous patch list");
        EXPECT_FALSE(pc::Download(ui, server_->Url(path), kept, true)) << path;
        EXPECT_EQ(ReadFileBytes(kept), "the previous patch list") << path;
        EXPECT_TRUE(ui.calls.empty()) << path;
    }
}

TEST_F(DownloadFromNginx, MissingDirectoryIsInvalidFilename) {
    RecordingUi ui;
    try {
        pc::Download(ui, server_->Url("/exact.bin"), dir_ / "no-such-dir/out.bin", true);
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
                pc::Download(ui, url, destination, true);
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
        EXPECT_FALSE(pc::Download(ui, url, dir_ / "out.bin", true)) << url;
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
    EXPECT_FALSE(pc::Download(ui, server.Url("/list.ini"), dir / "out.bin", true, pc::DefaultDownloadLimits(),
                              &failure));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
    EXPECT_FALSE(failure.empty());
}

class DownloadFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<pc::test::FaultServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    static std::unique_ptr<pc::test::FaultServer> server_;
    TempDir dir_;
    pc::DownloadLimits quick_{2000ms, 1s};
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
        EXPECT_FALSE(pc::Download(ui, server_->Url(c.path), destination, true, quick_, &failure)) << c.path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << c.path;
        EXPECT_FALSE(failure.empty()) << c.path;
        ASSERT_EQ(std::filesystem::exists(destination), c.fileExpected) << c.path << ": " << failure;
        if (c.fileExpected) {
            EXPECT_EQ(ReadFileBytes(destination), Pattern(c.bytesKept)) << c.path;
            const auto reads = Reads(ui);
            EXPECT_EQ(std::accumulate(reads.begin(), reads.end(), std::size_t{0}), c.bytesKept) << c.path;
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
        ASSERT_TRUE(pc::Download(ui, server_->Url(c.path), dir_ / "out.bin", true, quick_)) << c.path;
        EXPECT_EQ(ReadFileBytes(dir_ / "out.bin"), c.body) << c.path;
        EXPECT_EQ(Reads(ui), ExpectedReads(static_cast<std::int32_t>(c.body.size()))) << c.path;
    }
}

TEST_F(DownloadFaults, AnnouncesTheExecutableNameAsClient) {
    RecordingUi ui;
    ASSERT_TRUE(pc::Download(ui, server_->Url("/user-agent"), dir_ / "agent.txt", false, quick_));
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
                              dir / "out.bin", true, pc::DownloadLimits{700ms, 60s}, &failure));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 600ms) << failure;
    EXPECT_LT(elapsed, 10s) << failure;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

} // namespace
