// A real forward proxy on loopback for tests: Debian's tinyproxy on a free port, in the foreground, with
// its configuration and log in a directory of its own. It forwards plain requests and tunnels https
// through CONNECT; its log names every request it took. Stopped and cleaned up in the destructor.
#pragma once

#include "tests/support/server_process.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pc::test {

class ProxyServer {
public:
    ProxyServer() {
        char pattern[] = "/tmp/pc-proxy-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a directory for tinyproxy");
        stateDir_ = pattern;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreeLoopbackPort();
            WriteConfig();
            if (TryStart())
                return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(stateDir_, ignored);
        throw std::runtime_error("tinyproxy did not start");
    }
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;
    ~ProxyServer() {
        process_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(stateDir_, ignored);
    }

    // The proxy as the environment names it: "http://127.0.0.1:PORT".
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The requests it has taken, one line each as tinyproxy logs them ("GET http://host:port/x HTTP/1.1",
    // "CONNECT host:port HTTP/1.1").
    std::vector<std::string> Requests() const {
        std::ifstream log(stateDir_ / "tinyproxy.log");
        std::vector<std::string> requests;
        const std::string mark = "]: Request (file descriptor ";
        for (std::string line; std::getline(log, line);) {
            const auto at = line.find(mark);
            if (at == std::string::npos)
                continue;
            const auto colon = line.find("): ", at);
            if (colon != std::string::npos)
                requests.push_back(line.substr(colon + 3));
        }
        return requests;
    }

private:
    void WriteConfig() {
        const std::string state = stateDir_.string();
        std::ofstream conf(stateDir_ / "tinyproxy.conf", std::ios::trunc);
        // Without ConnectPort lines every port may be tunnelled to, the test servers' among them.
        conf << "Port " << port_ << "\n"
             << "Listen 127.0.0.1\n"
             << "Timeout 30\n"
             << "LogFile \"" << state << "/tinyproxy.log\"\n"
             << "LogLevel Info\n"
             << "MaxClients 50\n"
             << "Allow 127.0.0.1\n";
    }

    bool TryStart() {
        process_.Start({"tinyproxy", "-d", "-c", (stateDir_ / "tinyproxy.conf").string()});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (process_.HasEnded())
                return false;
            if (LoopbackPortAnswers(port_))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        process_.Stop();
        return false;
    }

    std::filesystem::path stateDir_;
    int port_ = 0;
    ServerProcess process_;
};

} // namespace pc::test
