// The window on the real launcher core against a real nginx on loopback: start-up from Config.ini, the
// update run from the patch timer, the archive component's failure dialog, the news page and Start.
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "gui_support.h"
#include "launcher/config.h"
#include "launcher/install/installation.h"
#include "launcher/launching.h"
#include "launcher/net/download_progress.h"
#include "launcher/repair/game_files.h"
#include "launcher/update_run.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/client_fixture.h"
#include "tests/support/fake_registry.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pc::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LauncherEndToEnd : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        BypassProxiesForLoopback();
        server_ = std::make_unique<NginxServer>(content_.Path(),
                                                NginxOptions{"location /slow/ { limit_rate 12k; }"});
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
                                                              {"client_exe", "game.sh"}})
            config += key + "=" + value + ";\r\n";
        install_.Write("Config.ini", config);
        install_.Write("game.sh", "#!/bin/sh\ncd \"$(dirname \"$0\")\" && echo started > game_marker.txt\n");
        fs::permissions(install_ / "game.sh", fs::perms::owner_all);
        content_.Write("news.html", "<html><body><h1>Realm news</h1><p>Patch day</p></body></html>");
    }

    TLauncherCore RealCore() {
        TLauncherCore core;
        core.FormCreate = [this](UiPort& ui) { FormCreate(ui, install_.Path(), registry_); };
        core.UpdateRun = [](UiPort& ui, const std::string& url) { test::RunUpdate(ui, url); };
        core.StartClient = [](UiPort& ui) { StartClient(ui); };
        core.OpenLink = [](UiPort& ui, const std::string& url) { OpenLink(ui, url); };
        core.CheckGameFiles = [](UiPort& ui) {
            const LauncherConfig& config = Config();
            CheckGameFilesInWindow(ui, config.applicationDir, config.ListSource(), [&ui, &config] {
                UpdateRun(ui, config.applicationDir, config.ListSource());
            });
        };
        core.Values = [] {
            const LauncherConfig& c = Config();
            return TLauncherValues{c.serverName,      c.patchListUrl, c.websiteUrl,
                                   c.controlPanelUrl, c.forumUrl,     c.newsUrl};
        };
        return core;
    }

    std::string Row(int id, const std::string& archive, std::size_t size, int group) const {
        return std::to_string(id) + "\t" + server_->Url("/" + archive) + "\t" + std::to_string(size) +
               "\t\t" + std::to_string(group) + "\t\r\n";
    }

    TempDir content_;
    TempDir install_;
    FakeRegistry registry_;
    std::unique_ptr<NginxServer> server_;
};

TEST_F(LauncherEndToEnd, TheWindowRunsTheUpdateAsksAboutABadEntryAndStartsTheClient) {
    const std::string p1 = ZipBuilder().Directory("data/").Deflated("data/readme.txt", "read me\n").Build();
    ZipEntryDef broken;
    broken.name = "data/broken.bin";
    broken.data = std::string(3000, 'x');
    broken.centralCrc = 0xDEADBEEF;
    const std::string p2 = ZipBuilder().Add(broken).Deflated("data/after.txt", "after\n").Build();
    content_.Write("p1.zip", p1);
    content_.Write("p2.zip", p2);
    content_.Write("list.txt", Row(1, "p1.zip", p1.size(), 0) + Row(2, "p2.zip", p2.size(), 0));

    QString failureText;
    ModalWatcher watcher(nullptr, [&](QWidget* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        failureText = box->text();
        for (QAbstractButton* b : box->buttons())
            if (QString(b->text()).remove('&') == "Ignore")
                b->click();
    });
    TQtForm form(RealCore(), TextNews());
    TForm_Main& model = form.Model();
    EXPECT_EQ(form.windowTitle(), "Test Realm");
    EXPECT_EQ(model.Label_ServerName->Caption(), " Realm ");
    form.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return fs::exists(install_ / "tqm_patch.ini") && model.Image_Start_Over->Enabled() &&
                   !model.Label_Standby->Visible();
        },
        20000));

    EXPECT_EQ(form.Memo_Log->toPlainText(), "- Searching for updates...\n"
                                            "- Downloaded: p1\n"
                                            "- Downloaded: p2\n"
                                            "- Update process completed\n");
    EXPECT_TRUE(failureText.contains("possibly disk is full")) << failureText.toStdString();
    EXPECT_EQ(ReadFile(install_ / "data/readme.txt"), "read me\n");
    EXPECT_EQ(ReadFile(install_ / "data/after.txt"), "after\n") << "Ignore went on with the next entry";
    EXPECT_FALSE(fs::exists(install_ / "data/broken.bin"));
    EXPECT_EQ(ReadFile(install_ / "tqm_patch.ini"), "1\r\n2\r\n");
    EXPECT_FALSE(fs::exists(install_ / (std::string(pc::kStoredArchivePrefix) + "p1.zip")));
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini"));
    EXPECT_TRUE(form.ProgressBar->isHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.WebBrowser->PlainText().contains("Patch day"); }, 5000));

    MoveTo(form, Centre(*model.Image_Start));
    EXPECT_EQ(model.Label_Start->Caption(), "Start Realm");
    ClickAt(form, Centre(*model.Image_Start_Over));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ApplicationTerminated(); }, 3000)) << "Start ends the launcher";
    EXPECT_TRUE(QTest::qWaitFor([&] { return fs::exists(install_ / "game_marker.txt"); }, 5000));
}

// A download through a slow location goes on while the right-click menu is up: its line keeps counting.
TEST_F(LauncherEndToEnd, AnOpenRightClickMenuDoesNotStopTheDownload) {
    const std::string p1 = ZipBuilder().Stored("noise.bin", RandomText(150000, 5)).Build();
    fs::create_directories(content_ / "slow");
    content_.Write("slow/p1.zip", p1);
    content_.Write("list.txt", Row(1, "slow/p1.zip", p1.size(), 0));
    TQtForm qt(RealCore(), TextNews());
    auto log = [&] { return qt.Memo_Log->toPlainText(); };
    // The run pumps the events beneath everything here, so each step is a tick of this timer.
    QString underMenu, afterMenu;
    bool menuStayed = false;
    QElapsedTimer since;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* menu = QApplication::activePopupWidget();
        if (!since.isValid()) {
            if (menu == nullptr && log().contains("- Downloading p1 (1 of 1): "))
                RightClickAt(qt, QPoint(330, 200));
            else if (menu != nullptr && menu->isVisible()) {
                underMenu = log();
                since.start();
            }
        } else if (log() != underMenu || since.elapsed() > 5000) {
            afterMenu = log();
            menuStayed = menu != nullptr && menu->isVisible();
            if (menu != nullptr)
                menu->close();
            poll.stop();
        }
    });
    poll.start(50);
    qt.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log().contains("- Update process completed"); }, 30000))
        << log().toStdString();
    EXPECT_FALSE(underMenu.isEmpty());
    EXPECT_NE(afterMenu, underMenu) << "the download stood still while the menu was up";
    EXPECT_TRUE(menuStayed);
}

// The right-click menu on the real core: the damaged file comes back from the client archive on nginx.
TEST_F(LauncherEndToEnd, CheckGameFilesFromTheMenuRepairsADamagedFile) {
    const std::string data =
        PublishClientAndDamageItsFile(content_, server_->Url("/client.manifest"), install_);

    TQtForm qt(RealCore(), TextNews());
    qt.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return qt.Memo_Log->toPlainText().contains("- No updates has been found"); }, 10000));
    QTest::qWait(50); // the run's last steps after its line
    WhenMenuUp([](QMenu& menu) {
        QTest::keyClick(&menu, Qt::Key_Down);
        QTest::keyClick(&menu, Qt::Key_Return);
    });
    RightClickAt(qt, QPoint(330, 200));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return qt.Memo_Log->toPlainText().contains("- Game files have been repaired"); }, 10000));
    const auto size = static_cast<std::int64_t>(data.size());
    EXPECT_EQ(qt.Memo_Log->toPlainText().toStdString(),
              "- Searching for updates...\n"
              "- No updates has been found\n"
              "- Checking game files...\n" +
                  pc::ProgressLine(pc::kFetchingGameFilesLine, size, size, 0) +
                  "\n"
                  "- Repaired: data/level.dat\n"
                  "- Game files have been repaired\n");
    EXPECT_EQ(ReadFile(install_ / "data/level.dat"), data);
}

} // namespace
} // namespace pc::test
