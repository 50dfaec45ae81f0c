// Starting programs on Windows: CreateProcessA takes the command line as the launcher forms it, the
// system splits it, and waiting is waiting for the process.
#include "framework/file_system.h"
#include "launcher/config.h"
#include "launcher/launching.h"
#include "tests/support/fake_ui.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

// A copy of the reporting program under `name` in `dir`, with its path.
std::string Reporter(const TempDir& dir, const std::string& name) {
    const std::string path = dir / name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file(REPORT_ARGS_PATH, path, std::filesystem::copy_options::overwrite_existing);
    return path;
}

bool WaitForFile(const std::string& path, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A folder as the system spells it for a current directory: backslashes, no trailing one.
std::string Folder(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().parent_path().string();
}

// The part of a report that follows "cwd=", up to its line end.
std::string WorkingDirectoryIn(const std::string& report) {
    const auto at = report.find("cwd=");
    return at == std::string::npos ? std::string() : report.substr(at + 4, report.find('\n', at) - at - 4);
}

TEST(Win32RunProgram, WaitsAndPassesTheCommandLineEnvironmentAndDirectory) {
    TempDir dir;
    const std::string program = Reporter(dir, "dir with blanks\\report.exe");
    _putenv_s("PC_LAUNCH_MARK", "mark 7");
    const bool started = pc::RunProgram("\"" + program + "\" --sleep=300 one \"two words\" 3", true);
    const bool reportedOnReturn = std::filesystem::exists(program + ".report");
    _putenv_s("PC_LAUNCH_MARK", "");
    EXPECT_TRUE(started);
    ASSERT_TRUE(reportedOnReturn) << "RunProgram returned before the program had ended";
    const std::string report = ReadFileBytes(program + ".report");
    EXPECT_NE(report.find("one|two words|3|\n"), std::string::npos) << report;
    EXPECT_NE(report.find("env=mark 7\n"), std::string::npos) << report;
    EXPECT_NE(report.find("cwd=" + std::filesystem::current_path().string() + "\n"), std::string::npos)
        << report;
}

TEST(Win32RunProgram, AnUnquotedProgramWithBlanksIsFoundByTheSystem) {
    TempDir dir;
    const std::string program = Reporter(dir, "My Game\\setup.exe");
    EXPECT_TRUE(pc::RunProgram(program + " -quiet", true));
    ASSERT_TRUE(std::filesystem::exists(program + ".report"));
    EXPECT_NE(ReadFileBytes(program + ".report").find("-quiet|\n"), std::string::npos);
}

TEST(Win32RunProgram, WithoutWaitReturnsWhileTheProgramRuns) {
    TempDir dir;
    const std::string program = Reporter(dir, "late.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(pc::RunProgram("\"" + program + "\" --sleep=1500", false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1200ms);
    EXPECT_FALSE(std::filesystem::exists(program + ".report"));
    EXPECT_TRUE(WaitForFile(program + ".report"));
}

TEST(Win32RunProgram, ProgramsThatCannotStartReportFalse) {
    TempDir dir;
    const std::string text = dir.Write("notes.txt", "not a program");
    EXPECT_FALSE(pc::RunProgram("\"" + text + "\"", true));
    EXPECT_FALSE(pc::RunProgram("\"" + dir / "absent.exe" + "\"", true));
    EXPECT_FALSE(pc::RunProgram("", true));
}

TEST(Win32StartClient, StartsTheClientFromADirectoryWithBlanksThenEnds) {
    TempDir dir;
    const std::string appDir = dir / "My Game\\";
    const std::string client = Reporter(dir, "My Game\\game.exe");
    const std::string planted = Reporter(dir, "My.exe");
    pc::Config().applicationDir = appDir;
    pc::Config().clientExe = "game.exe";
    pc::test::RecordingUi ui;
    pc::StartClient(ui);
    pc::Config() = pc::LauncherConfig{};
    EXPECT_EQ(ui.calls, std::vector<std::string>{"TerminateApplication"});
    ASSERT_TRUE(WaitForFile(client + ".report"));
    EXPECT_EQ(WorkingDirectoryIn(ReadFileBytes(client + ".report")), Folder(appDir));
    EXPECT_FALSE(std::filesystem::exists(planted + ".report"));
}

// An installation whose path holds a blank, with a program planted where the system's reading of an
// unquoted line would find one first ("...\\Ember.exe" beside "...\\Ember Realm\\"): only the programs
// inside run, in the installation as their current directory.
TEST(Win32RunPatchProgram, RunsOnlyTheProgramInsideTheInstallationThere) {
    TempDir dir;
    const std::string appDir = dir / "Ember Realm\\";
    const std::string planted = Reporter(dir, "Ember.exe");
    const std::string outside = Reporter(dir, "outside.exe");
    const std::string setup = Reporter(dir, "Ember Realm\\setup.exe");
    const std::string tool = Reporter(dir, "Ember Realm\\tools\\tool.exe");
    struct Case {
        const char* field;
        bool started;
        std::string ran; // the program that reports, empty for none
        const char* arguments;
    } cases[] = {
        {"setup.exe -q \"two words\"", true, setup, "-q|two words|"},
        {"tools/tool.exe", true, tool, ""},
        {"tools\\tool.exe x", true, tool, "x|"},
        {"..\\outside.exe", false, "", ""},
        {"../outside.exe", false, "", ""},
        {"tools\\..\\..\\outside.exe", false, "", ""},
    };
    for (const Case& c : cases) {
        for (const std::string& program : {planted, outside, setup, tool})
            std::filesystem::remove(program + ".report");
        pc::test::RecordingUi ui;
        EXPECT_EQ(pc::RunPatchProgram(ui, appDir, c.field), c.started) << c.field;
        for (const std::string& program : {planted, outside, setup, tool}) {
            if (program == c.ran) {
                ASSERT_TRUE(std::filesystem::exists(program + ".report")) << c.field;
                const std::string report = ReadFileBytes(program + ".report");
                EXPECT_EQ(report.substr(0, report.find('\n')), c.arguments) << c.field;
                EXPECT_EQ(WorkingDirectoryIn(report), Folder(appDir)) << c.field;
            } else {
                EXPECT_FALSE(std::filesystem::exists(program + ".report")) << c.field << " ran " << program;
            }
        }
    }
}

TEST(Win32OpenLink, StartsTheBrowserWithTheUrl) {
    TempDir dir;
    const std::string browser = Reporter(dir, "web browser\\browse.exe");
    pc::test::RecordingUi ui;
    pc::OpenLink(ui, browser, "http://www.example.com/forum?id=3&x=y");
    EXPECT_TRUE(ui.calls.empty());
    ASSERT_TRUE(WaitForFile(browser + ".report"));
    EXPECT_EQ(ReadFileBytes(browser + ".report").substr(0, 38), "http://www.example.com/forum?id=3&x=y|");
}

// A patch that replaces a running program: the program's file cannot be deleted, so it moves aside and
// its name is free for the new one; the next start removes it once it has ended.
TEST(Win32RunningProgram, MovesAsideAndGoesAtTheNextStart) {
    TempDir dir;
    const std::string program = Reporter(dir, "game.exe");
    ASSERT_TRUE(pc::RunProgram("\"" + program + "\" --sleep=2000", false));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(pc::fsys::RemoveNonDirectory(program));
    EXPECT_FALSE(std::filesystem::exists(program));
    dir.Write("game.exe", "the new game");
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        if (entry.path().filename().string().ends_with(".moved-aside."))
            aside.push_back(entry.path().filename().string());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(aside[0].starts_with("game.exe."));
    // The ordinary form of a name drops its final dot: only the "\\?\" form reaches the file moved aside.
    std::wstring movedAside = std::filesystem::absolute(dir.Path()).make_preferred().wstring();
    if (movedAside.back() != L'\\')
        movedAside += L'\\';
    movedAside = L"\\\\?\\" + movedAside + std::filesystem::path(aside[0]).wstring();
    EXPECT_NE(::GetFileAttributesW(movedAside.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_TRUE(WaitForFile(program + ".report")); // the old program ran to its end
    std::this_thread::sleep_for(500ms);
    pc::fsys::RemoveLeftovers(dir.Path());
    EXPECT_EQ(::GetFileAttributesW(movedAside.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadFileBytes(program), "the new game");
}

} // namespace
