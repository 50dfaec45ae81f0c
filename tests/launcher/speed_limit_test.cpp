// The player's download speed limit changed while a download runs, through the edition's own HTTP client
// (libcurl's receive limit, or the pacing over WinInet's reads) against a server on loopback in this process.
#include "launcher/net/download.h"
#include "tests/support/fake_ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
constexpr int kSendFlags = 0;
void CloseSocket(Socket s) {
    ::closesocket(s);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
constexpr Socket INVALID_SOCKET = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;
void CloseSocket(Socket s) {
    ::close(s);
}
#endif

namespace {

using namespace std::chrono_literals;

// Answers one request with a body of `size` bytes, as fast as the client takes them.
class OneBodyServer {
public:
    explicit OneBodyServer(std::size_t size) : size_(size) {
#ifdef _WIN32
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
#else
        ::setenv("no_proxy", "127.0.0.1", 1);
#endif
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ == INVALID_SOCKET ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneBodyServer() {
        // Unblocks the accept or the send the thread may be in.
        ::shutdown(listener_, 2);
        CloseSocket(listener_);
        if (const Socket client = client_.load(); client != INVALID_SOCKET)
            ::shutdown(client, 2);
        thread_.join();
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/body.bin";
    }

private:
    void Serve() {
        const Socket client = ::accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        client_ = client;
        std::string request;
        char piece[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int got = static_cast<int>(::recv(client, piece, sizeof piece, 0));
            if (got <= 0)
                break;
            request.append(piece, static_cast<std::size_t>(got));
        }
        const std::string body(size_, 'x');
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size_) +
                                   "\r\nConnection: close\r\n\r\n" + body;
        for (std::size_t sent = 0; sent < answer.size();) {
            const int put = static_cast<int>(
                ::send(client, answer.data() + sent,
                       static_cast<int>(std::min<std::size_t>(answer.size() - sent, 16384)), kSendFlags));
            if (put <= 0)
                break;
            sent += static_cast<std::size_t>(put);
        }
        CloseSocket(client);
    }

    std::size_t size_;
    Socket listener_ = INVALID_SOCKET;
    std::atomic<Socket> client_{INVALID_SOCKET};
    int port_ = 0;
    std::thread thread_;
};

// The player lowers the limit to almost nothing after the first bytes: the download must hold there, at
// most what the client had in hand already coming after, until the no-progress limit ends it. Had the
// change waited for the next download, the whole body would have come at loopback speed.
TEST(DownloadSpeedLimit, ALimitLoweredDuringADownloadHoldsItAtOnce) {
    constexpr std::size_t kBody = 8u << 20;
    OneBodyServer server(kBody);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("pc-speed-limit-" + std::to_string(server.Url().size()) + "-" + std::to_string(std::rand()));
    std::filesystem::create_directories(dir);
    std::atomic<std::int64_t> limit{0};
    pc::DownloadLimits limits{2000ms, 60s, {10ms, 10ms}, 1s};
    limits.maxBytesPerSecond = &limit;
    pc::test::RecordingUi ui;
    ui.progressMax = 1 << 30;
    std::int32_t atChange = -1;
    ui.OnPump([&] {
        if (atChange < 0 && ui.progressPosition > 0) {
            atChange = ui.progressPosition;
            limit = 1;
        }
    });
    std::string failure;
    const bool fetched = pc::Download(ui, server.Url(), (dir / "body.bin").string(), pc::TProgressBar::pbStep,
                                      pc::DownloadOptions{}, limits, &failure);
    std::filesystem::remove_all(dir);
    ASSERT_GT(atChange, 0);
    EXPECT_FALSE(fetched);
    EXPECT_EQ(failure, "time limit");
    // libcurl hands over what it had already received; the pacing over WinInet stops after one read.
    EXPECT_LT(ui.progressPosition - atChange, 1 << 20) << "bytes after the change";
}

} // namespace
