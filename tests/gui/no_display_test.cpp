// patch-client where no window can be shown: one line on stderr that names the headless update, exit 1,
// instead of the toolkit's abort.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pc::test {
namespace {

struct Outcome {
    int Status = -1; // the exit code, or -1 when the program did not exit normally
    std::string Out;
    std::string Err;
};

// Runs the launcher with exactly this environment and collects what it wrote.
Outcome RunLauncher(std::vector<std::string> environment) {
    const std::string program = PATCH_BINARY_DIR "/window/patch-client";
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str()), nullptr};
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Outcome outcome;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program;
        ::close(out[0]);
        ::close(err[0]);
        return outcome;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.Out, &outcome.Err};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, 20000) <= 0) {
            ADD_FAILURE() << "the launcher neither wrote nor ended within 20 s";
            ::kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string Folder() {
    return std::filesystem::canonical(PATCH_BINARY_DIR "/window").string() + "/";
}

TEST(NoDisplay, WithoutAnyDisplayTheLauncherSaysSoInOneLineAndNamesTheHeadlessUpdate) {
    const Outcome none = RunLauncher({});
    EXPECT_EQ(none.Status, 1);
    EXPECT_EQ(none.Err,
              "patch-client: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not set); "
              "to update this installation without a window run: patchctl update " +
                  Folder() + "\n");
    EXPECT_EQ(none.Out, "");

    // Asked for X11 alone, a Wayland display does not help.
    const Outcome x11 = RunLauncher({"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=wayland-0"});
    EXPECT_EQ(x11.Status, 1);
    EXPECT_EQ(x11.Err, "patch-client: no display to show the window on (DISPLAY is not set); to update this "
                       "installation without a window run: patchctl update " +
                           Folder() + "\n");
}

TEST(NoDisplay, ADisplayThatCannotBeReachedEndsTheSameWayInsteadOfAnAbort) {
    // No X server listens on display 59999: Qt's platform plugin cannot start.
    const Outcome unreachable = RunLauncher({"DISPLAY=:59999", "HOME=/nonexistent"});
    EXPECT_EQ(unreachable.Status, 1) << "an abort would not exit normally";
    EXPECT_EQ(unreachable.Err,
              "patch-client: the window cannot be shown: no Qt platform plugin could start; to "
              "update this installation without a window run: patchctl update " +
                  Folder() + "\n");
    EXPECT_EQ(unreachable.Out, "");
}

} // namespace
} // namespace pc::test
