#include "launcher/launching.h"

#include "framework/helpers.h"
#include "launcher/config.h"
#include "launcher/ui_port.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

extern char** environ;

namespace pc {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string> SplitArguments(std::string_view text) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (true) {
        while (i < n && IsBlank(text[i]))
            ++i;
        if (i >= n)
            break;
        std::string argument;
        bool quoted = false;
        while (i < n) {
            std::size_t slashes = 0;
            while (i < n && text[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && text[i] == '"') {
                argument.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && i + 1 < n && text[i + 1] == '"') {
                    argument += '"'; // a doubled quote inside a quoted part stands for itself
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            argument.append(slashes, '\\');
            if (i >= n || (!quoted && IsBlank(text[i])))
                break;
            argument += text[i++];
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

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

bool IsExistingFileTest(const std::string& name) {
    return IsExistingFile(name);
}

} // namespace

TCommandLine SplitCommandLine(const std::string& commandLine) {
    return SplitCommandLine(commandLine, &IsExistingFileTest);
}

TCommandLine SplitCommandLine(const std::string& commandLine, bool (*isFile)(const std::string&)) {
    TCommandLine result;
    const std::size_t n = commandLine.size();
    std::size_t start = 0;
    while (start < n && IsBlank(commandLine[start]))
        ++start;
    std::size_t rest = n;
    if (start < n && commandLine[start] == '"') {
        // A quoted program name ends at the next quote; backslashes mean nothing there.
        const std::size_t close = commandLine.find('"', start + 1);
        if (close == std::string::npos) {
            result.program = commandLine.substr(start + 1);
        } else {
            result.program = commandLine.substr(start + 1, close - start - 1);
            rest = close + 1;
        }
    } else {
        // An unquoted path may hold blanks: the shortest prefix ending before a blank that names a file
        // is the program.
        auto nextBlank = [&](std::size_t from) {
            const std::size_t at = commandLine.find_first_of(" \t", from);
            return at == std::string::npos ? n : at;
        };
        const std::size_t firstEnd = nextBlank(start);
        std::size_t end = firstEnd;
        std::size_t chosen = firstEnd;
        while (true) {
            if (isFile(commandLine.substr(start, end - start))) {
                chosen = end;
                break;
            }
            if (end >= n)
                break;
            end = nextBlank(end + 1);
        }
        result.program = commandLine.substr(start, chosen - start);
        rest = chosen;
    }
    if (rest < n)
        result.arguments = SplitArguments(std::string_view(commandLine).substr(rest));
    return result;
}

bool RunProgram(const std::string& commandLine, bool wait) {
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

void StartClient(UiPort& ui) {
    StartClient(ui, Config().applicationDir, Config().clientExe);
}

void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe) {
    const std::string path = appDir + clientExe;
    if (IsExistingFile(path)) {
        RunProgram(path, false);
        ui.TerminateApplication();
    } else {
        ui.ShowMessageBox("KV Client cannot be found! [" + path + "]");
    }
}

void OpenLink(UiPort& ui, const std::string& url) {
    OpenLink(ui, Config().defaultBrowserPath, url);
}

void OpenLink(UiPort& ui, const std::string& browserPath, const std::string& url) {
    if (IsExistingFile(browserPath))
        RunProgram("\"" + browserPath + "\" " + url, false);
    else
        ui.ShowMessageBox("Default Browser cannot be located [" + browserPath + "]");
}

} // namespace pc
