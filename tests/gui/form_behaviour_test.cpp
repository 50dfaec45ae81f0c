// The Qt window delivering real events to the window model: pointer events as the window system makes
// them, Qt's timers, the first painting, the main loop's quit request, the error box and the notice.
#include "framework/exceptions.h"
#include "gui_support.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QMouseEvent>

#include <memory>
#include <thread>

namespace pc::test {
namespace {

class FormBehaviour : public GuiTest {
protected:
    static std::vector<std::pair<QString, bool>> EntriesOf(const QMenu& menu) {
        std::vector<std::pair<QString, bool>> entries;
        for (const QAction* action : menu.actions())
            entries.emplace_back(action->text(), action->isEnabled());
        return entries;
    }

    // Shows the form and waits for the patch tick's run to finish (the fake run returns at once).
    void ShowAndSettle(TQtForm& form) {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return core.RunCalls == 1 && !form.Model().Timer_Standby.Enabled(); }, 5000));
    }

    FakeCore core;
};

TEST_F(FormBehaviour, QtPointerEventsReachTheModelAsTheWindowSystemDeliversThem) {
    TQtForm qt(core.Core(), TextNews());
    TForm_Main& form = qt.Model();
    ShowAndSettle(qt);

    MoveTo(qt, Centre(*form.Image_WebSite));
    EXPECT_TRUE(form.Image_WebSite_Over->Visible() && form.Label_WebSite->Visible());
    // The news view is a child widget: what it passes on to the form clears nothing.
    MoveTo(qt, qt.WebBrowser->geometry().center());
    EXPECT_TRUE(form.Image_WebSite_Over->Visible());

    // Two quick clicks arrive as press, release, double click, release: one click.
    DoubleClickAt(qt, Centre(*form.Image_WebSite_Over));
    EXPECT_EQ(core.OpenedLinks, std::vector<std::string>{"http://127.0.0.1:1/site"});
    // The right button clicks nothing (it opens the context menu, closed here unused).
    bool menuClosed = false;
    WhenMenuUp([&](QMenu& menu) {
        QTest::keyClick(&menu, Qt::Key_Escape);
        menuClosed = true;
    });
    RightClickAt(qt, Centre(*form.Image_WebSite_Over));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menuClosed; }));
    EXPECT_EQ(core.OpenedLinks.size(), 1u);
    EXPECT_EQ(core.CheckCalls, 0);

    // A press held on a face keeps the moves; released elsewhere it is no click.
    MoveTo(qt, Centre(*form.Image_Forum));
    Press(qt, Centre(*form.Image_Forum_Over));
    MoveTo(qt, QPoint(330, 200), Qt::LeftButton);
    Release(qt, QPoint(330, 200));
    EXPECT_EQ(core.OpenedLinks.size(), 1u);
    EXPECT_TRUE(form.Image_Forum_Over->Visible());
    MoveTo(qt, QPoint(331, 201));
    for (const TGraphicControl* c : {form.Image_WebSite_Over, form.Label_WebSite, form.Image_Forum_Over})
        EXPECT_FALSE(c->Visible()) << c->Name();
}

// The menu itself is the model's; here that a right-click shows it as a Qt menu whose entry runs the check.
TEST_F(FormBehaviour, QtKeysReachTheModelWhereverTheWindowsFocusIs) {
    TQtForm qt(core.Core(), TextNews());
    ShowAndSettle(qt);
    qt.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&qt));
    // Keys go to whatever widget Qt gives the focus: the form at first, then the focused part's own.
    auto key = [&](Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &qt, k, m);
    };
    key(Qt::Key_Tab);
    key(Qt::Key_Tab);
    EXPECT_EQ(qt.Model().Focused(), TFocusStop::WebSite);
    EXPECT_EQ(QApplication::focusWidget()->accessibleName(), QStringLiteral("Valhalla Website"));
    key(Qt::Key_Backtab, Qt::ShiftModifier);
    key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(qt.Model().Focused(), TFocusStop::News);
    key(Qt::Key_Space);
    key(Qt::Key_Tab);
    key(Qt::Key_Tab);
    key(Qt::Key_Return);
    EXPECT_EQ(core.OpenedLinks, (std::vector<std::string>{core.Values.NewsUrl, core.Values.WebsiteUrl}));
}

TEST_F(FormBehaviour, ARightClickOpensTheMenuWhoseEntryChecksTheGameFiles) {
    using Entries = std::vector<std::pair<QString, bool>>;
    Entries outer, inner;
    TQtForm* formPtr = nullptr;
    core.Check = [&](UiPort& ui) {
        ui.AppendLogLine("- Checking game files...");
        // While it runs the entry is there, disabled.
        WhenMenuUp([&](QMenu& menu) {
            inner = EntriesOf(menu);
            QTest::keyClick(&menu, Qt::Key_Escape);
        });
        RightClickAt(*formPtr, QPoint(330, 200));
        while (inner.empty())
            ui.PumpMessages();
    };
    TQtForm qt(core.Core(), TextNews());
    formPtr = &qt;
    ShowAndSettle(qt);
    WhenMenuUp([&](QMenu& menu) {
        outer = EntriesOf(menu);
        QTest::keyClick(&menu, Qt::Key_Down);
        QTest::keyClick(&menu, Qt::Key_Return);
    });
    RightClickAt(qt, QPoint(330, 200));
    ASSERT_TRUE(QTest::qWaitFor([&] { return core.CheckCalls == 1 && !qt.Model().CheckingGameFiles(); }));
    EXPECT_EQ(outer, (Entries{{"Check game files", true}}));
    EXPECT_EQ(inner, (Entries{{"Check game files", false}}));
    EXPECT_NE(qt.Memo_Log->toPlainText().indexOf("- Checking game files..."), -1);
    EXPECT_FALSE(qt.Model().CheckingGameFiles());
}

// What the form does around the run is the model's; here only that Qt's showing, first painting and timer
// reach it.
TEST_F(FormBehaviour, PatchTickRunsOnceOnQtsTimerAfterTheWindowIsShownAndPainted) {
    bool paintedAtStart = false;
    TForm_Main* formPtr = nullptr;
    core.Run = [&](UiPort&, const std::string& url) {
        EXPECT_EQ(url, "http://127.0.0.1:1/patchlist.txt");
        paintedAtStart = formPtr->FirstPaintDone();
    };
    TQtForm qt(core.Core(), TextNews());
    TForm_Main& form = qt.Model();
    formPtr = &form;
    EXPECT_TRUE(form.Timer_Patch.Enabled());
    QTest::qWait(30);
    EXPECT_EQ(core.RunCalls, 0) << "nothing runs before the window is shown";
    ShowAndSettle(qt);
    QTest::qWait(50);
    EXPECT_EQ(core.RunCalls, 1);
    EXPECT_TRUE(paintedAtStart);
}

TEST_F(FormBehaviour, StandbyAnimatesOnQtsTimerWhileTheRunPumps) {
    core.Run = [&](UiPort& ui, const std::string&) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1300) {
            ui.PumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    TQtForm qt(core.Core(), TextNews());
    TForm_Main& form = qt.Model();
    qt.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return core.RunCalls == 1 && !form.Timer_Standby.Enabled(); }, 5000));
    EXPECT_EQ(form.Label_Standby->Caption(), "Please Wait.");
    EXPECT_EQ(form.Timer_Standby.Tag, 1);
}

TEST_F(FormBehaviour, ExitDuringADownloadEndsTheLauncherOnlyAfterTheRun) {
    TQtForm* qtPtr = nullptr;
    std::vector<bool> terminatedAfterPump;
    core.Run = [&](UiPort& ui, const std::string&) {
        for (int i = 0; i < 6; ++i) {
            if (i == 2) {
                MoveTo(*qtPtr, Centre(*qtPtr->Model().Image_Exit));
                ClickAt(*qtPtr, Centre(*qtPtr->Model().Image_Exit_Over));
                core.Events.push_back("exit clicked");
            }
            ui.StepProgress(1);
            ui.PumpMessages();
            terminatedAfterPump.push_back(ApplicationTerminated());
        }
        ui.AppendLogLine("- Update process completed");
    };
    TQtForm qt(core.Core(), TextNews());
    qtPtr = &qt;
    QTimer::singleShot(10000, [] { TerminateApplication(); }); // a way out if the loop never ends
    RunMessageLoop(qt);
    core.Events.push_back("loop returned");

    EXPECT_EQ(core.Events,
              (std::vector<std::string>{"run started", "exit clicked", "run finished", "loop returned"}));
    // The quit request is taken by the next pump, and the run carries on to its end regardless.
    EXPECT_EQ(terminatedAfterPump, (std::vector<bool>{false, false, true, true, true, true}));
    EXPECT_TRUE(qt.Memo_Log->toPlainText().endsWith("- Update process completed\n"));
    EXPECT_FALSE(qt.Model().Label_Standby->Visible()) << "the patch tick completed its last steps";
}

TEST_F(FormBehaviour, AnErrorInTheRunIsShownInTheErrorBoxAndThenTheLogSaysTheUpdateDidNotFinish) {
    core.Run = [&](UiPort& ui, const std::string&) {
        ui.AppendLogLine("- Searching for updates...");
        ui.PumpMessages();
        throw EInOutError("Disk full", 101, "/games/realm/");
    };
    SetApplicationTitle("Valhalla Online");
    TQtForm qt(core.Core(), TextNews());
    TForm_Main& form = qt.Model();
    ModalWatcher watcher(&qt);
    qt.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.Seen().empty(); }, 5000));
    ASSERT_EQ(watcher.Seen().size(), 1u);
    EXPECT_EQ(watcher.Seen()[0].ClassName, "QMessageBox");
    EXPECT_EQ(watcher.Seen()[0].Text, "Disk full.");
    EXPECT_EQ(watcher.Seen()[0].Caption, "Valhalla Online");
    // Once the box is closed the animation stops and the log's last line says why.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.Label_Standby->Visible(); }, 5000));
    EXPECT_EQ(qt.Memo_Log->toPlainText(),
              "- Searching for updates...\n- The update did not finish [/games/realm/]\n");
}

TEST_F(FormBehaviour, MissingConfigurationShowsItsNoticeBeforeTheWindowAndEnds) {
    SetApplicationTitle("Left over");
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("");
        ui.ShowMessageBox("Essential file missing: Config.ini");
        ui.TerminateApplication();
    };
    ModalWatcher watcher;
    TQtForm qt(core.Core(), TextNews());
    ASSERT_EQ(watcher.Seen().size(), 1u) << "the notice is shown while the window is created";
    EXPECT_EQ(watcher.Seen()[0].ClassName, "TMessageForm");
    EXPECT_EQ(watcher.Seen()[0].Caption, "");
    EXPECT_TRUE(watcher.Seen()[0].Text.contains("\r\nEssential file missing: Config.ini\r\n"));
    EXPECT_FALSE(qt.isVisible());
    QTimer::singleShot(10000, [] { TerminateApplication(); });
    RunMessageLoop(qt);
    EXPECT_TRUE(ApplicationTerminated());
    EXPECT_EQ(core.RunCalls, 0) << "the update timer was never armed";
}

TEST_F(FormBehaviour, AnErrorInTheStartUpHandlerIsShownBeforeTheWindowWhichThenWorks) {
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("Realm");
        throw EConvertError("'$zz' is not a valid integer value");
    };
    ModalWatcher watcher;
    TQtForm qt(core.Core(), TextNews());
    TForm_Main& form = qt.Model();
    ASSERT_EQ(watcher.Seen().size(), 1u);
    EXPECT_EQ(watcher.Seen()[0].Caption, "Realm");
    EXPECT_EQ(watcher.Seen()[0].Text, "'$zz' is not a valid integer value.");
    EXPECT_FALSE(qt.isVisible());
    qt.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&qt));
    MoveTo(qt, Centre(*form.Image_Forum));
    EXPECT_TRUE(form.Image_Forum_Over->Visible());
    ClickAt(qt, Centre(*form.Image_Forum_Over));
    EXPECT_EQ(core.OpenedLinks.size(), 1u);
    QTest::qWait(30);
    EXPECT_EQ(core.RunCalls, 0) << "half-started: the update never runs";
}

TEST_F(FormBehaviour, ACloseRequestFromTheDesktopEndsTheApplication) {
    TQtForm qt(core.Core(), TextNews());
    ShowAndSettle(qt);
    qt.close();
    QTest::qWait(20);
    EXPECT_TRUE(ApplicationTerminated());
}

} // namespace
} // namespace pc::test
