// The scripted faulty HTTP server (fault_server.py) on a free loopback port, for failures that nginx
// cannot be made to produce. Stopped in the destructor.
#pragma once

#include "tests/support/server_process.h"

#include <sstream>

namespace pc::test {

class FaultServer {
public:
    // `root` is the directory whose files /served/ serves (none when empty); `script` defaults to the copy
    // in the source tree.
    explicit FaultServer(const std::string& root = "",
                         std::string script = std::string(PATCH_SOURCE_DIR) +
                                              "/tests/support/fault_server.py") {
        BypassProxiesForLoopback();
        std::vector<std::string> argv{"python3", "-u", std::move(script)};
        if (!root.empty())
            argv.insert(argv.end(), {"--root", root});
        process_.Start(argv, true);
        port_ = std::stoi(process_.ReadLine());
    }

    int Port() const { return port_; }
    // The URL of `path` (starting with '/'); the paths are listed in fault_server.py.
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // What the server has counted (see /stats in fault_server.py), asked on a connection of its own that
    // the count leaves out.
    struct Stats {
        long connections = 0; // accepted for requests other than /stats, since the server started
        long requests = 0;    // of the key
        long bodyBytes = 0;   // sent for the key
    };
    Stats StatsFor(const std::string& key) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error("no socket for the fault server's counters");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const std::string request = "GET /stats?key=" + key + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
                char piece[512];
                for (ssize_t n; (n = ::recv(fd, piece, sizeof piece, 0)) > 0;)
                    answer.append(piece, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        const auto body = answer.find("\r\n\r\n");
        if (body == std::string::npos)
            throw std::runtime_error("the fault server sent no counters");
        std::istringstream text(answer.substr(body + 4));
        Stats stats;
        std::string word;
        text >> word >> stats.connections >> word >> stats.requests >> word >> stats.bodyBytes;
        return stats;
    }

private:
    ServerProcess process_;
    int port_ = 0;
};

} // namespace pc::test
