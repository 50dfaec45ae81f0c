#include "launcher/config.h"
#include "launcher/launching.h"
#include "tests/support/fake_ui.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

const std::set<std::string>* gExisting = nullptr;
bool InExisting(const std::string& name) {
    return gExisting->count(name) != 0;
}

TEST(SplitCommandLine, WindowsRules) {
    const std::set<std::string> existing = {"/opt/my game/run.sh", "/srv/a", "/srv/a b/c"};
    gExisting = &existing;
    struct Case {
        const char* line;
        const char* program;
        std::vector<std::string> arguments;
    } cases[] = {
        {"prog", "prog", {}},
        {"   prog\tx  y ", "prog", {"x", "y"}},
        {"\"C:\\a b\\c.exe\" x y", "C:\\a b\\c.exe", {"x", "y"}},
        {"\"/a b/c\"d e", "/a b/c", {"d", "e"}},
        {"\"/no close", "/no close", {}},
        {"p \"b c\" d", "p", {"b c", "d"}},
        {"p \"\" x", "p", {"", "x"}},
        {"p a\\\\\\b d\"e f\"g h", "p", {"a\\\\\\b", "de fg", "h"}},
        {"p a\\\\\\\"b c d", "p", {"a\\\"b", "c", "d"}},
        {"p a\\\\\\\\\"b c\" d e", "p", {"a\\\\b c", "d", "e"}},
        {"p a\"b\"\" c d", "p", {"ab\" c d"}},
        {"p \"tail\\\\\"", "p", {"tail\\"}},
        {"p C:\\dir\\ x", "p", {"C:\\dir\\", "x"}},
        // An unquoted program with blanks: the shortest prefix that names a file.
        {"/opt/my game/run.sh -q \"two words\"", "/opt/my game/run.sh", {"-q", "two words"}},
        {"/srv/a b/c d", "/srv/a", {"b/c", "d"}},
        {"/no such/file x", "/no", {"such/file", "x"}},
        {"", "", {}},
    };
    for (const auto& c : cases) {
        const pc::TCommandLine split = pc::SplitCommandLine(c.line, &InExisting);
        EXPECT_EQ(split.program, c.program) << c.line;
        EXPECT_EQ(split.arguments, c.arguments) << c.line;
    }
    gExisting = nullptr;
}

// Writes an executable shell script.
[[maybe_unused]] std::string WriteScript(const TempDir& dir, const std::string& name,
                                         const std::string& body) {
    const std::string path = dir.Write(name, "#!/bin/sh\n" + body);
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                  std::filesystem::perms::others_exec);
    return path;
}

[[maybe_unused]] bool WaitForFile(const std::string& path, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A script that writes what it was started with into `report` next to it, once it is done.
[[maybe_unused]] const char* kReporter =
    "d=$(dirname \"$0\")\n"
    "sleep 0.3\n"
    "{ printf '%s|' \"$@\"; echo\n"
    "  echo \"pid=$$ pgid=$(cut -d' ' -f5 /proc/$$/stat)\"\n"
    "  echo \"env=$PC_LAUNCH_MARK\"\n"
    "  echo \"cwd=$(pwd)\"\n"
    "  if [ -e /proc/$$/fd/200 ]; then echo fd200=open; else echo fd200=closed; fi\n"
    "} > \"$d/report.tmp\"\n"
    "mv \"$d/report.tmp\" \"$d/report\"\n";

TEST(RunProgram, WaitsAndPassesArgumentsEnvironmentAndDirectoryButNoOpenFiles) {
#ifdef _WIN32
    GTEST_SKIP() << "the programs are shell scripts; win32_launching_test.cpp starts Windows programs";
#else
    TempDir dir;
    std::filesystem::create_directory(dir / "dir with blanks");
    const std::string script = WriteScript(dir, "dir with blanks/report.sh", kReporter);

    // A descriptor the launcher holds without close-on-exec must not reach the child.
    const int held = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(::dup2(held, 200), 0);
    ::setenv("PC_LAUNCH_MARK", "mark 7", 1);
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());

    const bool started = pc::RunProgram(script + " one \"two words\" 3", true);
    const bool reportedOnReturn = std::filesystem::exists(dir / "dir with blanks/report");

    std::filesystem::current_path(here);
    ::close(200);
    ::close(held);
    ::unsetenv("PC_LAUNCH_MARK");

    EXPECT_TRUE(started);
    ASSERT_TRUE(reportedOnReturn) << "RunProgram returned before the program had ended";
    const std::string report = ReadFileBytes(dir / "dir with blanks/report");
    EXPECT_NE(report.find("one|two words|3|\n"), std::string::npos) << report;
    EXPECT_NE(report.find("env=mark 7\n"), std::string::npos) << report;
    EXPECT_NE(report.find("cwd=" + std::filesystem::path(dir.Path()).parent_path().string() + "\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("fd200=closed"), std::string::npos) << report;
    // A process group of its own: the group id is the child's pid, not ours.
    const auto pidAt = report.find("pid=");
    const auto pgidAt = report.find(" pgid=");
    ASSERT_NE(pgidAt, std::string::npos) << report;
    const std::string pid = report.substr(pidAt + 4, pgidAt - pidAt - 4);
    const std::string pgid = report.substr(pgidAt + 6, report.find('\n', pgidAt) - pgidAt - 6);
    EXPECT_EQ(pid, pgid) << report;
    EXPECT_NE(pgid, std::to_string(::getpgrp()));
#endif
}

TEST(RunProgram, WithoutWaitReturnsWhileTheProgramRuns) {
#ifdef _WIN32
    GTEST_SKIP() << "the programs are shell scripts; win32_launching_test.cpp starts Windows programs";
#else
    TempDir dir;
    const std::string script = WriteScript(dir, "late.sh", "sleep 1\n: > \"$(dirname \"$0\")/done\"\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(pc::RunProgram(script, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_FALSE(std::filesystem::exists(dir / "done"));
    EXPECT_TRUE(WaitForFile(dir / "done"));
#endif
}

TEST(RunProgram, ProgramsThatCannotStartReportFalse) {
#ifdef _WIN32
    GTEST_SKIP() << "the programs are shell scripts; win32_launching_test.cpp starts Windows programs";
#else
    TempDir dir;
    const std::string plain = dir.Write("not-executable.sh", "#!/bin/sh\nexit 0\n");
    EXPECT_FALSE(pc::RunProgram(plain, true));
    EXPECT_FALSE(pc::RunProgram(dir / "absent", true));
    EXPECT_FALSE(pc::RunProgram("", true));
    EXPECT_FALSE(pc::RunProgram(dir.Path(), true)); // a directory
#endif
}

// The readings of a program field, as the update run tries them, and which of them stay inside the
// installation.
TEST(ProgramField, ReadingsAndTheInstallationsBounds) {
    using R = pc::TProgramReading;
    auto same = [](const std::vector<R>& a, const std::vector<R>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const R& x, const R& y) {
            return x.program == y.program && x.arguments == y.arguments;
        });
    };
    EXPECT_TRUE(same(pc::ProgramFieldReadings("setup.sh"), {{"setup.sh", ""}}));
    EXPECT_TRUE(same(pc::ProgramFieldReadings(" my tool.sh  -q"),
                     {{"my", " tool.sh  -q"}, {"my tool.sh", "  -q"}, {"my tool.sh  -q", ""}}));
    EXPECT_TRUE(same(pc::ProgramFieldReadings("\"my tool.sh\" -q \"a b\""), {{"my tool.sh", " -q \"a b\""}}));
    EXPECT_TRUE(same(pc::ProgramFieldReadings("\"open"), {{"open", ""}}));
    EXPECT_TRUE(pc::ProgramFieldReadings("  ").empty());

    struct Case {
        const char* name;
        bool inside;
    } cases[] = {
        {"setup.sh", true},   {"tools/setup.sh", true}, {"tools\\setup.sh", true},
        {"./a/../b", true},   {"a/b/../../c", true},    {"a..b/c..", true},
        {"", true},           {"../x", false},          {"..\\x", false},
        {"a/../../x", false}, {"a\\..\\..\\x", false},  {"/bin/x", false},
        {"\\x", false},       {"\\\\server\\x", false}, {"C:\\x.exe", false},
        {"c:x.exe", false},   {"a/.../x", false},       {"a/. ./x", false},
        {"..", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pc::StaysInsideInstallation(c.name), c.inside) << c.name;
}

TEST(StartClient, MissingClientShowsTheNoticeAndKeepsRunning) {
    TempDir dir;
    WriteScript(dir, "game.sh", "exit 0\n");
    struct Case {
        const char* clientExe;
    } cases[] = {{"absent.sh"}, {"game.sh -windowed"}, {""}};
    for (const auto& c : cases) {
        pc::test::RecordingUi ui;
        pc::StartClient(ui, dir.Path(), c.clientExe);
        EXPECT_EQ(ui.calls, std::vector<std::string>{"ShowMessageBox:KV Client cannot be found! [" +
                                                     dir.Path() + c.clientExe + "]"})
            << c.clientExe;
    }
}

TEST(StartClient, StartsTheClientFromADirectoryWithBlanksThenEnds) {
#ifdef _WIN32
    GTEST_SKIP() << "the programs are shell scripts; win32_launching_test.cpp starts Windows programs";
#else
    TempDir dir;
    std::filesystem::create_directory(dir / "My Game");
    const std::string appDir = dir / "My Game/";
    // The client notes its current directory; a program planted at the path's prefix must not run.
    WriteScript(dir, "My Game/game.sh",
                "pwd > \"$(dirname \"$0\")/started.tmp\"\n"
                "mv \"$(dirname \"$0\")/started.tmp\" \"$(dirname \"$0\")/started\"\n");
    WriteScript(dir, "My", ": > '" + dir / "planted-ran" + "'\n");
    pc::Config().applicationDir = appDir;
    pc::Config().clientExe = "game.sh";
    pc::test::RecordingUi ui;
    pc::StartClient(ui);
    pc::Config() = pc::LauncherConfig{};
    EXPECT_EQ(ui.calls, std::vector<std::string>{"TerminateApplication"});
    ASSERT_TRUE(WaitForFile(appDir + "started"));
    EXPECT_EQ(ReadFileBytes(appDir + "started"), dir / "My Game\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "planted-ran"));
#endif
}

TEST(OpenLink, MissingBrowserShowsTheNotice) {
    TempDir dir;
    for (const std::string& browser : {dir / "no-browser", std::string()}) {
        pc::test::RecordingUi ui;
        pc::OpenLink(ui, browser, "http://example.invalid/");
        EXPECT_EQ(ui.calls, std::vector<std::string>{"ShowMessageBox:Default Browser cannot be located [" +
                                                     browser + "]"});
    }
}

TEST(OpenLink, StartsTheBrowserWithTheUrl) {
#ifdef _WIN32
    GTEST_SKIP() << "the programs are shell scripts; win32_launching_test.cpp starts Windows programs";
#else
    TempDir dir;
    std::filesystem::create_directory(dir / "web browser");
    const std::string browser =
        WriteScript(dir, "web browser/browse.sh",
                    "d=$(dirname \"$0\")\n{ echo \"$#\"; printf '%s|' \"$@\"; } > \"$d/tmp\"\n"
                    "mv \"$d/tmp\" \"$d/args-$#\"\n");
    struct Case {
        const char* url;
        const char* argsFile;
        const char* args;
    } cases[] = {
        {"http://www.example.com/forum?id=3&x=y", "args-1", "1\nhttp://www.example.com/forum?id=3&x=y|"},
        {"", "args-0", "0\n|"}, // printf prints its format once even without arguments
    };
    pc::Config().defaultBrowserPath = browser;
    for (const auto& c : cases) {
        pc::test::RecordingUi ui;
        pc::OpenLink(ui, c.url);
        EXPECT_TRUE(ui.calls.empty()) << c.url;
        const std::string argsFile = dir / (std::string("web browser/") + c.argsFile);
        ASSERT_TRUE(WaitForFile(argsFile)) << c.url;
        EXPECT_EQ(ReadFileBytes(argsFile), c.args);
    }
    pc::Config() = pc::LauncherConfig{};
#endif
}

} // namespace

#ifndef _WIN32
namespace {

// PATH for one test, restored when it ends.
class SearchPath {
public:
    explicit SearchPath(const std::string& path) {
        if (const char* old = std::getenv("PATH"))
            old_ = old;
        ::setenv("PATH", path.c_str(), 1);
    }
    SearchPath(const SearchPath&) = delete;
    SearchPath& operator=(const SearchPath&) = delete;
    ~SearchPath() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

const std::string kWindowsProgram =
    std::string("MZ\x90\0\3\0\0\0", 8) + "This program cannot be run in DOS mode.";

// Linux only: Windows runs its programs itself.
TEST(WindowsPrograms, RunThroughWineWhenItIsInstalled) {
    TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    // A stand-in for Wine that notes what it was asked to run.
    WriteScript(dir, "bin/wine",
                "printf '%s|' \"$@\" > \"$(dirname \"$0\")/ran.tmp\"\n"
                "mv \"$(dirname \"$0\")/ran.tmp\" \"$(dirname \"$0\")/ran\"\n");
    std::filesystem::create_directories(dir / "My Game");
    const std::string setup = dir.Write("My Game/setup.exe", kWindowsProgram);
    SearchPath path(dir / "bin:/usr/bin:/bin");
    pc::test::RecordingUi ui;
    EXPECT_TRUE(pc::RunProgram(ui, setup + " /quiet", true));
    EXPECT_TRUE(ui.calls.empty());
    EXPECT_EQ(ReadFileBytes(dir / "bin/ran"), setup + "|/quiet|");

    // The client too; then the launcher ends as always.
    std::filesystem::remove(dir / "bin/ran");
    dir.Write("My Game/game.exe", kWindowsProgram);
    pc::StartClient(ui, dir / "My Game/", "game.exe");
    EXPECT_EQ(ui.calls, std::vector<std::string>{"TerminateApplication"});
    ASSERT_TRUE(WaitForFile(dir / "bin/ran"));
    EXPECT_EQ(ReadFileBytes(dir / "bin/ran"), dir / "My Game/game.exe|");
}

// A patch's program in an installation whose path holds a blank, with a program planted at the prefix of
// that path ("/games/Ember" beside "/games/Ember Realm/") and one beside the installation: only programs
// inside the installation run, always with the installation as their current directory.
TEST(RunPatchProgram, RunsOnlyTheProgramInsideTheInstallation) {
    TempDir dir;
    std::filesystem::create_directories(dir / "Ember Realm/tools");
    const std::string appDir = dir / "Ember Realm/";
    // Each program notes its name, arguments and current directory in dir/ran-NAME.
    auto program = [&](const std::string& path, const std::string& name) {
        WriteScript(dir, path,
                    "{ printf '%s|' \"$@\"; echo; pwd; } > '" + dir / "ran.tmp" + "'\n" + "mv '" +
                        dir / "ran.tmp" + "' '" + dir / ("ran-" + name) + "'\n");
    };
    program("Ember", "planted");
    program("outside.sh", "outside");
    program("Ember Realm/setup.sh", "setup");
    program("Ember Realm/tools/setup.sh", "tools");
    program("Ember Realm/my", "my");
    program("Ember Realm/my tool.sh", "mytool");

    struct Case {
        std::string field;
        bool started;
        const char* ran;       // which program ran, and its arguments; empty when none did
        const char* arguments; // as printf '%s|' gives them: "|" for none
    } cases[] = {
        {"setup.sh", true, "setup", "|"},
        {"setup.sh one \"two words\"", true, "setup", "one|two words|"},
        {"tools\\setup.sh -q", true, "tools", "-q|"},
        {"tools/setup.sh", true, "tools", "|"},
        {"\"my tool.sh\" x", true, "mytool", "x|"},
        {"my tool.sh", true, "my", "tool.sh|"}, // the shortest reading that names a file, as Windows reads it
        {"../outside.sh", false, "", ""},
        {"..\\outside.sh", false, "", ""},
        {"tools/../../outside.sh", false, "", ""},
        {dir / "outside.sh", false, "", ""},
        {"C:\\outside.sh", false, "", ""},
        {"absent.sh", false, "", ""},
        {"absent x/../../../outside.sh", false, "", ""}, // tried whole, as "absent" is no file
    };
    for (const Case& c : cases) {
        for (const char* name : {"planted", "outside", "setup", "tools", "my", "mytool"})
            std::filesystem::remove(dir / (std::string("ran-") + name));
        pc::test::RecordingUi ui;
        EXPECT_EQ(pc::RunPatchProgram(ui, appDir, c.field), c.started) << c.field;
        EXPECT_TRUE(ui.calls.empty()) << c.field;
        for (const char* name : {"planted", "outside", "setup", "tools", "my", "mytool"}) {
            const std::string report = dir / (std::string("ran-") + name);
            if (name == std::string(c.ran))
                EXPECT_EQ(pc::test::ReadFileBytes(report),
                          std::string(c.arguments) + "\n" + appDir.substr(0, appDir.size() - 1) + "\n")
                    << c.field;
            else
                EXPECT_FALSE(std::filesystem::exists(report)) << c.field << " ran " << name;
        }
    }
}

TEST(WindowsPrograms, WithoutWineThePlayerIsTold) {
    TempDir dir;
    std::filesystem::create_directories(dir / "empty");
    const std::string setup = dir.Write("setup.exe", kWindowsProgram);
    dir.Write("game.exe", kWindowsProgram);
    SearchPath path(dir / "empty");
    const std::string notice = "ShowMessageBox:Windows programs need Wine, which is not installed [";

    pc::test::RecordingUi ui;
    EXPECT_FALSE(pc::RunProgram(ui, setup + " /quiet", true));
    EXPECT_EQ(ui.calls, std::vector<std::string>{notice + setup + "]"});

    // The launcher stays open instead of ending with nothing started.
    pc::test::RecordingUi client;
    pc::StartClient(client, dir.Path(), "game.exe");
    EXPECT_EQ(client.calls, std::vector<std::string>{notice + dir / "game.exe]"});

    // A Linux program or script named .exe is no Windows program.
    WriteScript(dir, "tool.exe", ": > '" + dir / "tool-ran'\n");
    pc::test::RecordingUi plain;
    EXPECT_TRUE(pc::RunProgram(plain, dir / "tool.exe", true));
    EXPECT_TRUE(plain.calls.empty());
    EXPECT_TRUE(std::filesystem::exists(dir / "tool-ran"));
}

} // namespace
#endif
