// patch-client.exe under Wine on a virtual 1280x800 screen, driven as a player would drive it: the pointer
// and keys through xdotool, what the screen shows through screenshots (ImageMagick's import), and what
// the windows hold through a probe that reads them from inside the same Wine session. A real nginx on
// loopback serves the patches. The programs come from the environment the Windows build's ctest sets.
#include "framework/crypto.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/client_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_program.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::ZipBuilder;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

std::string Shell(const std::string& command) {
    return pc::test::RunProgram(command).out;
}

struct TRgb {
    int R = 0, G = 0, B = 0;
    friend bool operator==(TRgb, TRgb) = default;
};

// One picture of the whole screen.
class TShot {
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 800;
    TShot() {
        TempDir scratch;
        const std::string file = scratch / "screen.rgb";
        std::system(("import -window root -depth 8 rgb:" + Quoted(file) + " 2>/dev/null").c_str());
        bytes_ = ReadFileBytes(file);
    }
    bool Valid() const { return bytes_.size() == static_cast<std::size_t>(kWidth) * kHeight * 3; }
    TRgb At(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * 3;
        return {static_cast<unsigned char>(bytes_[i]), static_cast<unsigned char>(bytes_[i + 1]),
                static_cast<unsigned char>(bytes_[i + 2])};
    }
    // Pixels of the box within `tolerance` of a colour.
    int Count(int left, int top, int width, int height, TRgb colour, int tolerance) const {
        int count = 0;
        for (int y = top; y < top + height; ++y)
            for (int x = left; x < left + width; ++x) {
                const TRgb p = At(x, y);
                count += std::abs(p.R - colour.R) <= tolerance && std::abs(p.G - colour.G) <= tolerance &&
                         std::abs(p.B - colour.B) <= tolerance;
            }
        return count;
    }
    bool SameBox(const TShot& other, int left, int top, int width, int height) const {
        for (int y = top; y < top + height; ++y)
            for (int x = left; x < left + width; ++x)
                if (!(At(x, y) == other.At(x, y)))
                    return false;
        return true;
    }

private:
    std::string bytes_;
};

constexpr TRgb kCaptionColour{185, 209, 234};
constexpr TRgb kKey{255, 0, 255};
constexpr TRgb kLogBackground{0x12, 0x1A, 0x28};

// The X server all tests of this program share, and the Wine session that belongs to it.
class WineWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (Env("PATCH_CLIENT_EXE").empty())
            return;
        // A new prefix is made before any screen exists: wineboot would otherwise offer, in a dialog that
        // nobody answers, to install Wine's own .NET and HTML engines.
        KillWineServer();
        std::system(("env -u DISPLAY WINEDLLOVERRIDES='mscoree,mshtml=' " + Quoted(Env("WINE_RUN")) + " " +
                     Quoted(Env("WINE_GUI_PREFIX")) + " wineboot -i >/dev/null 2>&1")
                        .c_str());
        KillWineServer();
        screen_ = new pc::test::ServerProcess(); // lives for the whole suite
        for (int display = 77; display < 120; ++display) {
            if (fs::exists("/tmp/.X" + std::to_string(display) + "-lock"))
                continue;
            screen_->Start({"/usr/bin/Xvfb", ":" + std::to_string(display), "-screen", "0", "1280x800x24",
                            "-nolisten", "tcp"});
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
            if (WaitFor([&] { return fs::exists(socket) || screen_->HasEnded(); }, 10s) &&
                !screen_->HasEnded()) {
                ::setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
                break;
            }
        }
        // The prefix's desktop process must belong to this screen: end a server left from another run.
        KillWineServer();
    }
    static void TearDownTestSuite() {
        KillWineServer();
        delete screen_;
        screen_ = nullptr;
    }
    static void KillWineServer() {
        std::system(
            ("WINEPREFIX=" + Quoted(Env("WINE_GUI_PREFIX")) + " /usr/lib/wine/wineserver -k 2>/dev/null")
                .c_str());
    }

    void SetUp() override {
        if (Env("PATCH_CLIENT_EXE").empty() || !fs::exists(Env("PATCH_CLIENT_EXE")))
            GTEST_SKIP()
                << "no patch-client.exe named by PATCH_CLIENT_EXE: run me from the windows preset's ctest";
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "Xvfb did not start";
        server_ = std::make_unique<pc::test::NginxServer>(
            content_.Path(), pc::test::NginxOptions{"location /slow/ { limit_rate 12k; }"});
        fs::copy_file(Env("PATCH_CLIENT_EXE"), install_ / "patch-client.exe");
        fs::copy_file(Env("REPORT_ARGS_EXE"), install_ / "game.exe");
        content_.Write("news.html", "<html><body><h1>Realm news</h1><p>Patch day</p></body></html>");
    }
    void TearDown() override {
        // A launcher that a failed test left open is ended; it would hold the next test's screen.
        if (launcher_ > 0 && pc::test::WaitChild(launcher_, 1s).timedOut)
            launcher_ = -1;
    }

    void WriteConfig() {
        // Key ED scrambles with a distance of 0, so the file holds the lines as they read.
        std::string config = "ED";
        for (const auto& [key, value] :
             std::vector<std::pair<std::string, std::string>>{{"client_title", "Test Realm"},
                                                              {"newsfile_url", server_->Url("/news.html")},
                                                              {"patchlist_url", server_->Url("/list.txt")},
                                                              {"server_name", "Realm"},
                                                              {"website_url", server_->Url("/site.html")},
                                                              {"controlpanel_url", server_->Url("/cp.html")},
                                                              {"forum_url", server_->Url("/forum.html")},
                                                              {"client_exe", "game.exe"}})
            config += key + "=" + value + ";\r\n";
        install_.Write("Config.ini", config);
    }
    std::string Row(int id, const std::string& path, std::size_t size) const {
        return std::to_string(id) + "\t" + server_->Url(path) + "\t" + std::to_string(size) + "\t\t0\t\r\n";
    }
    // Incompressible bytes, so that a stored entry takes its time through the slow location.
    static std::string Noise(std::size_t size) {
        std::mt19937 random(7);
        std::string bytes(size, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() & 0xFF);
        return bytes;
    }

    void Start() {
        launcher_ =
            pc::test::SpawnChild({Env("WINE_RUN"), Env("WINE_GUI_PREFIX"), (install_ / "patch-client.exe")},
                                 scratch_ / "out", scratch_ / "err");
    }
    // The launcher's exit code once it has ended within the limit; -1 otherwise.
    int Ended(std::chrono::milliseconds limit) {
        const pc::test::ChildResult result = pc::test::WaitChild(launcher_, limit);
        launcher_ = -1;
        return result.timedOut ? -1 : result.exitCode;
    }
    bool Running() const { return launcher_ > 0 && ::waitpid(launcher_, nullptr, WNOHANG) == 0; }

    // The visible main window's X identity, once it is shown.
    std::string MainWindow(std::chrono::milliseconds limit = 40s) {
        std::string id;
        WaitFor(
            [&] {
                std::istringstream ids(
                    Shell("xdotool search --onlyvisible --name '^Test Realm$' 2>/dev/null"));
                for (std::string candidate; ids >> candidate;)
                    if (Geometry(candidate).find("WIDTH=564") != std::string::npos) {
                        id = candidate;
                        return true;
                    }
                return false;
            },
            limit);
        return id;
    }
    static std::string Geometry(const std::string& id) {
        return Shell("xdotool getwindowgeometry --shell " + id + " 2>/dev/null");
    }
    // What the probe reads of a top-level window: its class, then "class TAB box TAB text" per child.
    std::vector<std::string> Probe(const std::string& caption, const std::string& cls = "") const {
        const std::string command = Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_GUI_PREFIX")) + " " +
                                    Quoted(Env("WINDOW_PROBE_EXE")) + " texts " + Quoted(caption) +
                                    (cls.empty() ? "" : " " + Quoted(cls)) + " 2>/dev/null";
        std::istringstream lines(Shell(command));
        std::vector<std::string> result;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') // the Wine console's line ends
                line.pop_back();
            result.push_back(line);
        }
        return result;
    }
    // The text of the first child of a class in a probe's reading.
    static std::string ChildText(const std::vector<std::string>& probe, const std::string& cls,
                                 int skip = 0) {
        for (std::size_t i = 1; i < probe.size(); ++i)
            if (probe[i].rfind(cls + "\t", 0) == 0 && skip-- == 0)
                return probe[i].substr(probe[i].find('\t', cls.size() + 1) + 1);
        return "<none>";
    }
    // The screen centre of the child captioned `text` (without '&').
    static std::pair<int, int> ChildCentre(const std::vector<std::string>& probe, const std::string& text) {
        for (std::size_t i = 1; i < probe.size(); ++i) {
            std::string caption = probe[i].substr(probe[i].rfind('\t') + 1);
            std::erase(caption, '&');
            if (caption != text)
                continue;
            int l = 0, t = 0, r = 0, b = 0;
            std::sscanf(probe[i].substr(probe[i].find('\t') + 1).c_str(), "%d,%d,%d,%d", &l, &t, &r, &b);
            return {(l + r) / 2, (t + b) / 2};
        }
        return {-1, -1};
    }
    // Whether a child of the class shows exactly `text`.
    static bool HasChild(const std::vector<std::string>& probe, const std::string& cls,
                         const std::string& text) {
        for (std::size_t i = 1; i < probe.size(); ++i)
            if (probe[i].rfind(cls + "\t", 0) == 0 && probe[i].substr(probe[i].rfind('\t') + 1) == text)
                return true;
        return false;
    }
    std::string Log() const { return ChildText(Probe("Test Realm", "TForm_Main"), "Edit"); }
    // Every visible top-level window: "class TAB caption" lines.
    std::string TopWindows() const {
        return Shell(Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_GUI_PREFIX")) + " " +
                     Quoted(Env("WINDOW_PROBE_EXE")) + " list 2>/dev/null");
    }

    static void PointerTo(int x, int y) {
        Shell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
    }
    static void ClickAt(int x, int y) {
        Shell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " sleep 0.2 click 1");
    }

    // Where the window is on a 1280x800 screen: (1280 - 564) / 2 and (800 - 408) / 2.
    static constexpr int kLeft = 358;
    static constexpr int kTop = 196;

    TempDir content_;
    TempDir install_;
    TempDir scratch_;
    std::unique_ptr<pc::test::NginxServer> server_;
    pid_t launcher_ = -1;
    static inline pc::test::ServerProcess* screen_ = nullptr;
};

TEST_F(WineWindow, TheWholeUpdateThroughTheWindow) {
    // About 16 s through the slow location: on a loaded machine the checks below take several seconds
    // before the dots are watched, and the run must still be downloading then.
    const std::string p1 = ZipBuilder().Directory("data/").Stored("data/noise.bin", Noise(200000)).Build();
    pc::test::ZipEntryDef broken;
    broken.name = "data/broken.bin";
    broken.data = std::string(3000, 'x');
    broken.centralCrc = 0xDEADBEEF;
    const std::string p2 = ZipBuilder().Add(broken).Deflated("data/after.txt", "after\n").Build();
    fs::create_directories(content_ / "slow");
    content_.Write("slow/p1.zip", p1);
    content_.Write("p2.zip", p2);
    content_.Write("list.txt", Row(1, "/slow/p1.zip", p1.size()) + Row(2, "/p2.zip", p2.size()));
    WriteConfig();
    Start();

    const std::string window = MainWindow();
    ASSERT_FALSE(window.empty()) << "the main window was not shown";
    const std::string geometry = Geometry(window);
    EXPECT_NE(geometry.find("X=358\nY=196\nWIDTH=564\nHEIGHT=408"), std::string::npos) << geometry;

    // During the download: the key colour is cut out, the log sits in its box, Start highlights but
    // does not start the client, and "Please Wait" counts its dots.
    ASSERT_TRUE(WaitFor([&] { return Log().find("- Searching for updates...") == 0; }, 10s)) << Log();
    // Over the background first, then onto the face: the highlight comes with a move over the face.
    PointerTo(kLeft + 300, kTop + 300);
    std::this_thread::sleep_for(300ms);
    const TShot resting;
    PointerTo(kLeft + 244, kTop + 85);
    WaitFor([] { return TShot().Count(kLeft + 264, kTop + 78, 80, 16, kCaptionColour, 30) > 20; }, 3s);
    const TShot during;
    ASSERT_TRUE(during.Valid());
    const TRgb outside = during.At(5, 5);
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {563, 0}, {0, 407}, {563, 407}}) {
        EXPECT_FALSE(during.At(kLeft + x, kTop + y) == kKey) << x << "," << y;
        EXPECT_TRUE(during.At(kLeft + x, kTop + y) == outside) << "corner " << x << "," << y << " is a hole";
    }
    EXPECT_GT(during.Count(kLeft + 380, kTop + 130, 160, 20, kLogBackground, 0), 1000)
        << "the log's background";
    EXPECT_GT(during.Count(kLeft + 264, kTop + 78, 80, 16, kCaptionColour, 30), 20) << "the Start caption";
    EXPECT_EQ(resting.Count(kLeft + 264, kTop + 78, 80, 16, kCaptionColour, 30), 0)
        << "a caption before hover";
    EXPECT_FALSE(resting.SameBox(during, kLeft + 234, kTop + 75, 21, 21)) << "the highlighted face";
    EXPECT_TRUE(resting.SameBox(during, kLeft + 213, kTop + 113, 21, 21)) << "Website is not highlighted";
    ClickAt(kLeft + 244, kTop + 85);
    // The dots move at every standby tick, once a second while messages are handled.
    const TShot standby1;
    EXPECT_GT(standby1.Count(kLeft + 478, kTop + 162, 80, 14, kCaptionColour, 30), 10) << "Please Wait shown";
    EXPECT_TRUE(WaitFor([&] { return !standby1.SameBox(TShot(), kLeft + 478, kTop + 162, 80, 14); }, 4s))
        << "the dots did not move";
    EXPECT_TRUE(Running());
    EXPECT_FALSE(fs::exists(install_ / "game.exe.report")) << "Start worked during the run";

    // The broken entry's question, answered Ignore.
    std::vector<std::string> question;
    ASSERT_TRUE(WaitFor(
        [&] {
            question = Probe("Confirm", "TMessageForm");
            return !question.empty();
        },
        60s));
    const std::string text = ChildText(question, "Static", 1); // after the question icon
    EXPECT_NE(text.find(". File processing error, possibly disk is full"), std::string::npos) << text;
    const auto [ignoreX, ignoreY] = ChildCentre(question, "Ignore");
    ASSERT_GT(ignoreX, 0);
    EXPECT_GT(ChildCentre(question, "Retry").first, 0);
    EXPECT_GT(ChildCentre(question, "Abort").first, 0);
    ClickAt(ignoreX, ignoreY);

    ASSERT_TRUE(WaitFor([&] { return fs::exists(install_ / "tqm_patch.ini"); }, 30s));
    EXPECT_TRUE(WaitFor(
        [&] {
            return Log() == "- Searching for updates...\\r\\n- Downloaded: p1\\r\\n- Downloaded: p2\\r\\n"
                            "- Update process completed\\r\\n";
        },
        10s))
        << Log();
    EXPECT_EQ(ReadFileBytes(install_ / "tqm_patch.ini"), "1\r\n2\r\n");
    EXPECT_EQ(ReadFileBytes(install_ / "data/after.txt"), "after\n") << "Ignore went on with the next entry";
    EXPECT_EQ(fs::file_size(install_ / "data/noise.bin"), 200000u);
    EXPECT_FALSE(fs::exists(install_ / "data/broken.bin"));
    EXPECT_NE(ChildText(Probe("Test Realm", "TForm_Main"), "Edit", 1).find("Realm news\\r\\nPatch day"),
              std::string::npos)
        << "the news view's fallback shows the page's text";
    std::this_thread::sleep_for(1200ms);
    const TShot after;
    EXPECT_EQ(after.Count(kLeft + 478, kTop + 162, 80, 14, kCaptionColour, 30), 0) << "Please Wait hidden";

    // After the run the same Start button starts the client and ends the launcher.
    PointerTo(kLeft + 300, kTop + 300);
    ClickAt(kLeft + 244, kTop + 85);
    EXPECT_TRUE(WaitFor([&] { return fs::exists(install_ / "game.exe.report"); }, 20s));
    EXPECT_EQ(Ended(20s), 0);
}

// Exit only requests the end: the run finishes its own way first. The core gives up the download in
// progress once the end is requested (what arrived waits for the next start), so the patch before it stays
// applied and recorded, the interrupted one is neither, and only then does the launcher end.
TEST_F(WineWindow, ExitDuringADownloadEndsTheLauncherOnlyAfterTheRun) {
    const std::string p1 = ZipBuilder().Deflated("first.txt", "first\n").Build();
    const std::string p2 = ZipBuilder().Stored("noise.bin", Noise(80000)).Build();
    fs::create_directories(content_ / "slow");
    content_.Write("p1.zip", p1);
    content_.Write("slow/p2.zip", p2);
    content_.Write("list.txt", Row(1, "/p1.zip", p1.size()) + Row(2, "/slow/p2.zip", p2.size()));
    WriteConfig();
    Start();
    ASSERT_FALSE(MainWindow().empty());
    ASSERT_TRUE(WaitFor([&] { return Log().find("- Downloaded: p1") != std::string::npos; }, 20s)) << Log();
    ClickAt(kLeft + 113, kTop + 187); // the Exit face, highlighted by the move, then clicked
    EXPECT_EQ(Ended(60s), 0);
    EXPECT_EQ(ReadFileBytes(install_ / "tqm_patch.ini"), "1\r\n");
    EXPECT_EQ(ReadFileBytes(install_ / "first.txt"), "first\n");
    EXPECT_FALSE(fs::exists(install_ / "noise.bin")) << "the interrupted patch was extracted";
}

// A download through the slow location goes on while the right-click menu is up: its line keeps counting.
TEST_F(WineWindow, AnOpenRightClickMenuDoesNotStopTheDownload) {
    const std::string p1 = ZipBuilder().Stored("noise.bin", Noise(150000)).Build();
    fs::create_directories(content_ / "slow");
    content_.Write("slow/p1.zip", p1);
    content_.Write("list.txt", Row(1, "/slow/p1.zip", p1.size()));
    WriteConfig();
    Start();
    ASSERT_FALSE(MainWindow().empty());
    ASSERT_TRUE(WaitFor([&] { return Log().find("- Downloading p1 (1 of 1): ") != std::string::npos; }, 20s))
        << Log();
    auto menuUp = [&] { return TopWindows().find("#32768") != std::string::npos; };
    Shell("xdotool mousemove " + std::to_string(kLeft + 330) + " " + std::to_string(kTop + 200) +
          " sleep 0.3 click 3");
    ASSERT_TRUE(WaitFor(menuUp, 5s)) << TopWindows();
    const std::string underMenu = Log();
    EXPECT_TRUE(WaitFor([&] { return Log() != underMenu; }, 5s)) << "the download stood still: " << underMenu;
    EXPECT_TRUE(menuUp()) << "the menu closed by itself";
    Shell("xdotool key Escape");
    EXPECT_TRUE(WaitFor([&] { return Log().find("- Update process completed") != std::string::npos; }, 30s))
        << Log();
    ClickAt(kLeft + 113, kTop + 187);
    EXPECT_EQ(Ended(20s), 0);
}

TEST_F(WineWindow, CheckGameFilesFromTheRightClickMenuRepairsADamagedFile) {
    const std::string data =
        pc::test::PublishClientAndDamageItsFile(content_, server_->Url("/client.manifest"), install_);
    WriteConfig();
    Start();
    ASSERT_FALSE(MainWindow().empty());
    ASSERT_TRUE(WaitFor([&] { return Log().find("- No updates has been found") != std::string::npos; }, 30s))
        << Log();
    // A right-click on the background opens the menu; its first entry is chosen with the keys.
    Shell("xdotool mousemove " + std::to_string(kLeft + 330) + " " + std::to_string(kTop + 200) +
          " sleep 0.3 click 3 sleep 1 key Down sleep 0.3 key Return");
    ASSERT_TRUE(
        WaitFor([&] { return Log().find("- Game files have been repaired") != std::string::npos; }, 30s))
        << Log();
    EXPECT_NE(Log().find("- Checking game files..."), std::string::npos) << Log();
    EXPECT_NE(Log().find("- Repaired: data/level.dat"), std::string::npos) << Log();
    EXPECT_EQ(ReadFileBytes(install_ / "data/level.dat"), data);
}

TEST_F(WineWindow, WithoutConfigIniTheNoticeComesAndTheLauncherEnds) {
    Start();
    std::vector<std::string> notice;
    ASSERT_TRUE(WaitFor(
        [&] {
            notice = Probe("", "TMessageForm");
            return !notice.empty();
        },
        40s));
    EXPECT_EQ(ChildText(notice, "Static"), "Essential file missing: Config.ini");
    EXPECT_TRUE(MainWindow(0ms).empty()) << "the main window is shown only after the notice";
    // Ctrl+C copies the notice as a block; the caption is the application title, empty before Config.ini.
    // A click on the notice's text gives it the keyboard first.
    const auto [textX, textY] = ChildCentre(notice, "Essential file missing: Config.ini");
    ClickAt(textX, textY);
    const std::string rule = "---------------------------\\r\\n";
    const std::string block =
        rule + "\\r\\n" + rule + "Essential file missing: Config.ini\\r\\n" + rule + "OK   \\r\\n" + rule;
    std::string copied;
    EXPECT_TRUE(WaitFor(
        [&] {
            Shell("xdotool key ctrl+c");
            copied = Shell(Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_GUI_PREFIX")) + " " +
                           Quoted(Env("WINDOW_PROBE_EXE")) + " clipboard 2>/dev/null");
            return copied == block;
        },
        8s))
        << copied;
    const auto [okX, okY] = ChildCentre(notice, "OK");
    ASSERT_GT(okX, 0);
    ClickAt(okX, okY);
    EXPECT_EQ(Ended(20s), 0);
}

TEST_F(WineWindow, AnErrorOutOfTheRunShowsItsBoxAndLeavesStartWithoutEffect) {
    content_.Write("list.txt", "abc\t" + server_->Url("/p.zip") + "\t10\t\t0\t\r\n");
    WriteConfig();
    Start();
    std::vector<std::string> box;
    ASSERT_TRUE(WaitFor(
        [&] {
            box = Probe("Test Realm", "#32770");
            return !box.empty();
        },
        40s));
    EXPECT_TRUE(HasChild(box, "Static", "'abc' is not a valid integer value."))
        << testing::PrintToString(box);
    const auto [okX, okY] = ChildCentre(box, "OK");
    ASSERT_GT(okX, 0);
    ClickAt(okX, okY);
    ASSERT_TRUE(WaitFor([&] { return Probe("Test Realm", "#32770").empty(); }, 10s));

    // Once the box is closed the animation stops (the update did not finish, the log says so) and Start
    // does nothing; Exit still ends the launcher.
    ClickAt(kLeft + 244, kTop + 85);
    std::this_thread::sleep_for(300ms);
    ClickAt(kLeft + 244, kTop + 85);
    std::this_thread::sleep_for(1100ms);
    const TShot after;
    EXPECT_EQ(after.Count(kLeft + 478, kTop + 162, 80, 14, kCaptionColour, 30), 0) << "Please Wait hidden";
    EXPECT_EQ(Log(), "- Searching for updates...\\r\\n- The update did not finish\\r\\n");
    EXPECT_FALSE(fs::exists(install_ / "game.exe.report"));
    EXPECT_TRUE(Running());
    ClickAt(kLeft + 113, kTop + 187);
    std::this_thread::sleep_for(300ms);
    ClickAt(kLeft + 113, kTop + 187);
    EXPECT_EQ(Ended(20s), 0);
}

} // namespace
