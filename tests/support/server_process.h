// A child process that serves HTTP for a test: started with posix_spawn, stopped in the destructor.
// Header-only so that any test can include it without linking anything.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pc::test {

// Loopback requests must never go through a proxy that the environment may name.
inline void BypassProxiesForLoopback() {
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

// A loopback port that nothing listens on at the moment of the call.
inline int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

// Whether something accepts TCP connections on the loopback port.
inline bool LoopbackPortAnswers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { Stop(); }

    // Starts `argv`; when `stdoutPipe` is set, the child's standard output can be read with ReadLine.
    void Start(const std::vector<std::string>& argv, bool stdoutPipe = false) {
        std::vector<std::string> words = argv;
        std::vector<char*> pointers;
        for (auto& word : words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int fds[2] = {-1, -1};
        if (stdoutPipe) {
            if (::pipe2(fds, O_CLOEXEC) != 0)
                throw std::runtime_error("pipe() failed");
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        }
        const int rc = ::posix_spawnp(&pid_, words[0].c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (stdoutPipe) {
            ::close(fds[1]);
            output_ = fds[0];
        }
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + words[0]);
        }
    }

    // A line of the child's output, without its line break; throws after `timeout` or at end of output.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{output_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                throw std::runtime_error("no output from the test server");
            char c = 0;
            if (::read(output_, &c, 1) != 1)
                throw std::runtime_error("the test server ended before it was ready");
            if (c == '\n')
                return line;
            line += c;
        }
    }

    pid_t Pid() const { return pid_; }

    // Whether the child has already ended (it is then reaped).
    bool HasEnded() {
        if (pid_ <= 0)
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return false;
    }

    // Terminates the child and waits for it; a child that ignores the request is killed after 10 s.
    void Stop() {
        if (output_ >= 0) {
            ::close(output_);
            output_ = -1;
        }
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 1000; ++i) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace pc::test
