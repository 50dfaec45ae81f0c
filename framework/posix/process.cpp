// Processes on POSIX: posix_spawn after splitting the command line by the Windows rules, waitpid.
#include "framework/process.h"

#include "framework/helpers.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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

} // namespace

bool StartProcess(const std::string& commandLine, bool wait) {
    ReapFinishedChildren();
    const TCommandLine parts = SplitCommandLine(commandLine);
    if (parts.program.empty())
        return false;

    // A bare name that is a file here means that file, as on the original platform; other bare names are
    // looked up on PATH.
    std::string program = parts.program;
    if (program.find('/') == std::string::npos && IsExistingFile(program))
        program = "./" + program;

    std::vector<std::string> words;
    words.reserve(parts.arguments.size() + 1);
    words.push_back(parts.program);
    words.insert(words.end(), parts.arguments.begin(), parts.arguments.end());
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
        return false;

    if (!wait) {
        UnwaitedChildren().push_back(pid);
        return true;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

} // namespace pc
