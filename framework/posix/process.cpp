// Processes on POSIX: posix_spawn after splitting the command line by the Windows rules, waitpid.
#include "framework/process.h"

#include "framework/helpers.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

extern char** environ;

namespace pc {
namespace {

// Programs started without waiting are collected here once they have ended, so that a long-running
// launcher does not gather finished children.
std::vector<pid_t>& UnwaitedChildren() {
    static std::vector<pid_t> children;
    return children;
}

void ReapFinishedChildren() {
    auto& children = UnwaitedChildren();
    std::erase_if(children, [](pid_t pid) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* Get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// Whether the file begins as a Windows executable does: the "MZ" of its DOS header.
bool IsWindowsProgram(const std::string& path) {
    char head[2] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(head, 2) && head[0] == 'M' && head[1] == 'Z';
}

// Wine as the player's PATH names it: the `wine` command, or `wine64` where only that is installed.
std::string FindWine() {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (const char* name : {"wine", "wine64"}) {
        for (std::size_t start = 0; start <= dirs.size();) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const std::string dir = end > start ? dirs.substr(start, end - start) : std::string(".");
            const std::string candidate = dir + "/" + name;
            if (IsExistingFile(candidate) && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            start = end + 1;
        }
    }
    return std::string();
}

// Starts `program` (searched on PATH when it holds no '/') with `arguments`, in `directory` when one is
// given.
TStartResult Spawn(std::string program, const std::vector<std::string>& arguments,
                   const std::string& directory, bool wait) {
    ReapFinishedChildren();
    std::vector<std::string> words;
    words.reserve(arguments.size() + 2);
    // A Windows program runs under Wine, the way the game itself does on this system; without Wine the
    // kernel would refuse it, or a shell would take it for a script.
    if (IsExistingFile(program) && IsWindowsProgram(program)) {
        const std::string wine = FindWine();
        if (wine.empty())
            return TStartResult::srNeedsWine;
        words.push_back(wine);
        words.push_back(program);
        program = wine;
    } else {
        words.push_back(program);
    }
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // The child gets none of the launcher's files or sockets, default signal handling, an empty signal
    // mask and a process group of its own, so that it outlives the launcher cleanly.
    SpawnActions actions;
    SpawnAttributes attributes;
    posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(actions.Get(), directory.c_str());
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(attributes.Get(), &all);
    posix_spawnattr_setsigmask(attributes.Get(), &none);
    posix_spawnattr_setpgroup(attributes.Get(), 0);
    posix_spawnattr_setflags(attributes.Get(),
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), actions.Get(), attributes.Get(), argv.data(), environ) != 0)
        return TStartResult::srFailed;

    if (!wait) {
        UnwaitedChildren().push_back(pid);
        return TStartResult::srStarted;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return TStartResult::srStarted;
}

} // namespace

TStartResult StartProcess(const std::string& commandLine, bool wait) {
    const TCommandLine parts = SplitCommandLine(commandLine);
    if (parts.program.empty())
        return TStartResult::srFailed;

    // A bare name that is a file here means that file, as on the original platform; other bare names are
    // looked up on PATH.
    std::string program = parts.program;
    if (program.find('/') == std::string::npos && IsExistingFile(program))
        program = "./" + program;
    return Spawn(program, parts.arguments, std::string(), wait);
}

TStartResult StartProgram(const std::string& program, const std::string& arguments,
                          const std::string& directory, bool wait) {
    // A full path only: a relative one would be looked up on PATH, or taken from the new directory.
    if (program.empty() || program[0] != '/')
        return TStartResult::srFailed;
    return Spawn(program, SplitArguments(arguments), directory, wait);
}

} // namespace pc
