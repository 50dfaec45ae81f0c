// The player's download speed limit changed while a download runs, through the edition's own HTTP client
// (libcurl's receive limit, or the pacing over WinInet's reads) against a server on loopback in this process.
#include "launcher/net/download.h"
#include "tests/support/fake_ui.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#define CLOSE_SOCKET closesocket
#define SEND_FLAGS 0
using SockLen = int;
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#define CLOSE_SOCKET close
#define SEND_FLAGS MSG_NOSIGNAL
using SockLen = socklen_t;
#endif

namespace {

using namespace std::chrono_literals;

// The player lowers the limit to 1 byte a second after the first bytes of an 8 MiB body that the server
// sends as fast as it is taken: the download must hold there (what the client had in hand already may still
// come) until the no-progress limit ends it. Had the change waited for the next request, all would come.
TEST(DownloadSpeedLimit, ALimitLoweredDuringADownloadHoldsItAtOnce) {
#ifdef _WIN32
    WSADATA wsa;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
#else
    ::setenv("no_proxy", "127.0.0.1", 1);
#endif
    constexpr std::size_t kBody = 8u << 20;
    auto listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SockLen length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::atomic<decltype(listener)> client{listener}; // the listener until a client is taken
    std::thread server([&client, listener] {
        client = ::accept(listener, nullptr, nullptr);
        char request[4096]; // one small request, whatever it asks
        ::recv(client.load(), request, sizeof request, 0);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) +
                                   "\r\nConnection: close\r\n\r\n" + std::string(kBody, 'x');
        for (std::size_t sent = 0; sent < answer.size();) {
            const auto put = ::send(client.load(), answer.data() + sent,
                                    static_cast<int>(answer.size() - sent), SEND_FLAGS);
            if (put <= 0)
                break; // the client has gone
            sent += static_cast<std::size_t>(put);
        }
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/body.bin";
    const std::filesystem::path body =
        std::filesystem::temp_directory_path() / ("pc-speed-limit-" + std::to_string(std::random_device{}()));
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
    const bool fetched = pc::Download(ui, url, body.string(), pc::TProgressBar::pbStep, pc::DownloadOptions{},
                                      limits, &failure);
    ::shutdown(client.load(), 2); // ends the server's accept or send, whichever it is in
    server.join();
    if (client.load() != listener)
        ::CLOSE_SOCKET(client.load());
    ::CLOSE_SOCKET(listener);
    std::filesystem::remove(body);
    ASSERT_GT(atChange, 0);
    EXPECT_FALSE(fetched);
    EXPECT_EQ(failure, "time limit");
    EXPECT_LT(ui.progressPosition - atChange, 1 << 20) << "bytes after the change";
}

} // namespace
