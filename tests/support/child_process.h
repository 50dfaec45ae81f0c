// Runs a program as a child process with its output in files, a time limit and its peak memory measured,
// or starts one to be stopped from outside (the crash-safety tests kill children at chosen moments).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pc::test {

struct ChildResult {
    int exitCode = -1; // -1 when the program did not exit normally
    int signal = 0;    // the signal that ended it, if one did
    bool timedOut = false;
    double seconds = 0;
    long peakKiB = 0; // the child's peak resident memory
};

// The environment of this process with `overrides` ("NAME=value") taking the place of same-named ones.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& o : overrides)
            replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

// Starts argv[0] (a path) with stdout and stderr written to the given files.
inline pid_t SpawnChild(const std::vector<std::string>& argv, const std::filesystem::path& out,
                        const std::filesystem::path& err, const std::vector<std::string>& overrides = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env = EnvironmentWith(overrides);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

// Waits for `pid`, killing it when it outlives `limit`.
inline ChildResult WaitChild(pid_t pid, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    ChildResult result;
    const auto start = Clock::now();
    int status = 0;
    rusage usage{};
    for (;;) {
        if (::wait4(pid, &status, WNOHANG, &usage) == pid)
            break;
        if (Clock::now() - start > limit) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.peakKiB = usage.ru_maxrss;
    if (WIFEXITED(status) && !result.timedOut)
        result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

inline ChildResult RunChild(const std::vector<std::string>& argv, const std::filesystem::path& out,
                            const std::filesystem::path& err, std::chrono::milliseconds limit,
                            const std::vector<std::string>& overrides = {}) {
    return WaitChild(SpawnChild(argv, out, err, overrides), limit);
}

} // namespace pc::test
