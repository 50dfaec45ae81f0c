// Hover, clicks, the patch and standby ticks, and how the window behaves around the update run.
#include "framework/exceptions.h"
#include "gui_support.h"

#include <QCloseEvent>
#include <QElapsedTimer>

#include <thread>

namespace pc::test {
namespace {

class FormBehaviour : public GuiTest {
protected:
    // Shows the form and waits for the patch tick's run to finish (the fake run returns at once).
    void ShowAndSettle(TForm_Main& form) {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return core.RunCalls == 1 && !form.Timer_Standby.Enabled(); }, 5000));
    }
    bool Highlighted(const TImage* over, const TLabel* label) { return over->Visible() && label->Visible(); }

    FakeCore core;
};

TEST_F(FormBehaviour, HoverHighlightsStaysOnTheFaceAndClearsOnlyOverTheBackground) {
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);

    MoveTo(form, Centre(*form.Image_Start));
    EXPECT_TRUE(Highlighted(form.Image_Start_Over, form.Label_Start));
    EXPECT_EQ(form.Label_Start->Caption(), "Start Valhalla");

    // Straight from one face onto another: both stay highlighted.
    MoveTo(form, Centre(*form.Image_WebSite));
    EXPECT_TRUE(Highlighted(form.Image_Start_Over, form.Label_Start));
    EXPECT_TRUE(Highlighted(form.Image_WebSite_Over, form.Label_WebSite));
    EXPECT_EQ(form.Label_WebSite->Caption(), "Valhalla Website");

    // The highlighted face now takes the pointer; it has no move handler, so nothing changes.
    MoveTo(form, Centre(*form.Image_WebSite) + QPoint(3, 3));
    EXPECT_TRUE(Highlighted(form.Image_WebSite_Over, form.Label_WebSite));

    // A visible caption label swallows the pointer; a child window clears nothing either.
    MoveTo(form, form.Label_Start->BoundsRect().topLeft() + QPoint(2, 2));
    EXPECT_TRUE(Highlighted(form.Image_Start_Over, form.Label_Start));
    MoveTo(form, form.WebBrowser->geometry().center());
    EXPECT_TRUE(Highlighted(form.Image_Start_Over, form.Label_Start));

    // Over the background picture every highlight goes; the captions keep their texts.
    MoveTo(form, QPoint(330, 200));
    for (TGraphicControl* c : std::initializer_list<TGraphicControl*>{
             form.Image_Start_Over, form.Label_Start, form.Image_WebSite_Over, form.Label_WebSite,
             form.Image_ControlPanel_Over, form.Label_ControlPanel, form.Image_Forum_Over, form.Label_Forum,
             form.Image_Exit_Over, form.Label_Exit})
        EXPECT_FALSE(c->Visible()) << c->Name();
    EXPECT_EQ(form.Label_Start->Caption(), "Start Valhalla");
}

TEST_F(FormBehaviour, CaptionsAreComposedFromTheServerNameAtHoverTime) {
    struct Case {
        std::string server;
        std::vector<QString> captions; // Start, Website, Control Panel, Forum, Exit
    };
    const std::vector<Case> cases = {
        {"", {"Start ", " Website", " Control Panel", " Forum", "Exit"}},
        {"Midgard", {"Start Midgard", "Midgard Website", "Midgard Control Panel", "Midgard Forum", "Exit"}},
    };
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);
    for (const Case& c : cases) {
        core.Values.ServerName = c.server;
        const std::vector<std::pair<TImage*, TLabel*>> buttons = {
            {form.Image_Start, form.Label_Start},
            {form.Image_WebSite, form.Label_WebSite},
            {form.Image_ControlPanel, form.Label_ControlPanel},
            {form.Image_Forum, form.Label_Forum},
            {form.Image_Exit, form.Label_Exit}};
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            MoveTo(form, QPoint(330, 200));
            MoveTo(form, Centre(*buttons[i].first));
            EXPECT_EQ(buttons[i].second->Caption(), c.captions[i])
                << "server '" << c.server << "', button " << i;
        }
    }
}

TEST_F(FormBehaviour, ClicksRunTheButtonActionsOnceEvenOnADoubleClick) {
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);

    MoveTo(form, Centre(*form.Image_WebSite));
    DoubleClickAt(form, Centre(*form.Image_WebSite_Over));
    EXPECT_EQ(core.OpenedLinks, std::vector<std::string>{"http://127.0.0.1:1/site"});

    MoveTo(form, Centre(*form.Image_ControlPanel));
    ClickAt(form, Centre(*form.Image_ControlPanel_Over));
    MoveTo(form, Centre(*form.Image_Forum));
    ClickAt(form, Centre(*form.Image_Forum_Over));
    MoveTo(form, Centre(*form.Image_Start));
    ClickAt(form, Centre(*form.Image_Start_Over));
    EXPECT_EQ(core.OpenedLinks, (std::vector<std::string>{"http://127.0.0.1:1/site", "http://127.0.0.1:1/cp",
                                                          "http://127.0.0.1:1/forum"}));
    EXPECT_EQ(core.StartClicks, 1);
}

TEST_F(FormBehaviour, PressOnAFaceAndReleaseElsewhereIsNoClickAndTheFaceHoldsThePointer) {
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);
    MoveTo(form, Centre(*form.Image_Forum));
    Press(form, Centre(*form.Image_Forum_Over));
    // While the button is held the face gets the moves, so passing the background clears nothing.
    MoveTo(form, QPoint(330, 200), Qt::LeftButton);
    EXPECT_TRUE(form.Image_Forum_Over->Visible());
    Release(form, QPoint(330, 200));
    EXPECT_TRUE(core.OpenedLinks.empty());
    EXPECT_TRUE(form.Image_Forum_Over->Visible());
    MoveTo(form, QPoint(331, 201));
    EXPECT_FALSE(form.Image_Forum_Over->Visible());
}

TEST_F(FormBehaviour, PatchTickRunsOnceAfterTheFirstPaintWithStartDisabledButStillHighlighting) {
    bool paintedAtStart = false;
    bool standbyDuringRun = false;
    TForm_Main* formPtr = nullptr;
    core.Run = [&](UiPort& ui, const std::string& url) {
        TForm_Main& form = *formPtr;
        EXPECT_EQ(url, "http://127.0.0.1:1/patchlist.txt");
        paintedAtStart = form.FirstPaintDone();
        standbyDuringRun = form.Timer_Standby.Enabled() && form.Label_Standby->Visible() &&
                           !form.Image_Start_Over->Enabled() && !form.Timer_Patch.Enabled();
        MoveTo(form, Centre(*form.Image_Start));
        ui.PumpMessages();
        EXPECT_TRUE(form.Image_Start_Over->Visible()) << "Start still highlights during the run";
        ClickAt(form, Centre(*form.Image_Start_Over));
        ui.PumpMessages();
        EXPECT_EQ(core.StartClicks, 0) << "Start must not react during the run";
    };
    TForm_Main form(core.Core(), TextNews());
    formPtr = &form;
    EXPECT_TRUE(form.Timer_Patch.Enabled());
    EXPECT_EQ(core.RunCalls, 0) << "nothing runs before the window is shown";
    ShowAndSettle(form);
    QTest::qWait(50);
    EXPECT_EQ(core.RunCalls, 1);
    EXPECT_TRUE(paintedAtStart);
    EXPECT_TRUE(standbyDuringRun);
    EXPECT_FALSE(form.Label_Standby->Visible());
    EXPECT_TRUE(form.Image_Start_Over->Enabled());
    // The pointer still rests on the Start face: the same click now starts the client.
    ClickAt(form, Centre(*form.Image_Start_Over));
    EXPECT_EQ(core.StartClicks, 1);
}

TEST_F(FormBehaviour, StandbyTicksCountOneTwoThreeDotsAndTheLabelGrowsToTheRight) {
    TForm_Main form(core.Core(), TextNews());
    const QRect before = form.Label_Standby->BoundsRect();
    EXPECT_EQ(form.Label_Standby->Caption(), "Please Wait");
    const std::vector<QString> expected = {"Please Wait.", "Please Wait..", "Please Wait...", "Please Wait."};
    for (const QString& text : expected) {
        form.Timer_StandbyTimer();
        EXPECT_EQ(form.Label_Standby->Caption(), text);
    }
    EXPECT_EQ(form.Timer_Standby.Tag, 1);
    form.Timer_StandbyTimer();
    const QRect after = form.Label_Standby->BoundsRect();
    EXPECT_EQ(after.topLeft(), before.topLeft());
    EXPECT_GT(after.width(), before.width());
}

TEST_F(FormBehaviour, StandbyAnimatesWhileTheRunPumpsAndNotWhileItDoesNot) {
    core.Run = [&](UiPort& ui, const std::string&) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1300) {
            ui.PumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    TForm_Main form(core.Core(), TextNews());
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return core.RunCalls == 1 && !form.Timer_Standby.Enabled(); }, 5000));
    EXPECT_EQ(form.Label_Standby->Caption(), "Please Wait.");
    EXPECT_EQ(form.Timer_Standby.Tag, 1);
}

TEST_F(FormBehaviour, ExitDuringADownloadEndsTheLauncherOnlyAfterTheRun) {
    TForm_Main* formPtr = nullptr;
    std::vector<bool> terminatedAfterPump;
    core.Run = [&](UiPort& ui, const std::string&) {
        for (int i = 0; i < 6; ++i) {
            if (i == 2) {
                MoveTo(*formPtr, Centre(*formPtr->Image_Exit));
                ClickAt(*formPtr, Centre(*formPtr->Image_Exit_Over));
                core.Events.push_back("exit clicked");
            }
            ui.StepProgress(1);
            ui.PumpMessages();
            terminatedAfterPump.push_back(ApplicationTerminated());
        }
        ui.AppendLogLine("- Update process completed");
    };
    TForm_Main form(core.Core(), TextNews());
    formPtr = &form;
    QTimer::singleShot(10000, [] { TerminateApplication(); }); // a way out if the loop never ends
    RunMessageLoop(form);
    core.Events.push_back("loop returned");

    EXPECT_EQ(core.Events,
              (std::vector<std::string>{"run started", "exit clicked", "run finished", "loop returned"}));
    // The quit request is taken by the next pump, and the run carries on to its end regardless.
    EXPECT_EQ(terminatedAfterPump, (std::vector<bool>{false, false, true, true, true, true}));
    EXPECT_TRUE(form.Memo_Log->toPlainText().endsWith("- Update process completed\n"));
    EXPECT_FALSE(form.Label_Standby->Visible()) << "the patch tick completed its last steps";
}

TEST_F(FormBehaviour, AnErrorInTheRunIsReportedAndLeavesTheStuckState) {
    core.Run = [&](UiPort& ui, const std::string&) {
        ui.AppendLogLine("- Searching for updates...");
        ui.PumpMessages();
        throw EInOutError("Disk full", 101);
    };
    SetApplicationTitle("Valhalla Online");
    TForm_Main form(core.Core(), TextNews());
    ModalWatcher watcher(&form);
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.Seen().empty(); }, 5000));
    ASSERT_EQ(watcher.Seen().size(), 1u);
    EXPECT_EQ(watcher.Seen()[0].ClassName, "QMessageBox");
    EXPECT_EQ(watcher.Seen()[0].Text, "Disk full.");
    EXPECT_EQ(watcher.Seen()[0].Caption, "Valhalla Online");
    QTest::qWait(50);

    // Stuck: the animation goes on, Start highlights but does nothing, the other buttons work.
    EXPECT_TRUE(form.Timer_Standby.Enabled());
    EXPECT_TRUE(form.Label_Standby->Visible());
    EXPECT_FALSE(form.Image_Start_Over->Enabled());
    MoveTo(form, Centre(*form.Image_Start));
    EXPECT_TRUE(form.Image_Start_Over->Visible());
    ClickAt(form, Centre(*form.Image_Start_Over));
    EXPECT_EQ(core.StartClicks, 0);
    MoveTo(form, Centre(*form.Image_WebSite));
    ClickAt(form, Centre(*form.Image_WebSite_Over));
    EXPECT_EQ(core.OpenedLinks.size(), 1u);
    EXPECT_EQ(core.RunCalls, 1) << "the patch timer never ticks again";
}

TEST_F(FormBehaviour, AnErrorInAClickIsReportedAndTheWindowGoesOn) {
    int calls = 0;
    core.Link = [&](const std::string& url) {
        if (calls++ == 0)
            throw Exception("List index out of bounds (3)");
        core.OpenedLinks.push_back(url);
    };
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);
    ModalWatcher watcher(&form);
    MoveTo(form, Centre(*form.Image_Forum));
    ClickAt(form, Centre(*form.Image_Forum_Over));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.Seen().empty(); }, 5000));
    EXPECT_EQ(watcher.Seen()[0].Text, "List index out of bounds (3)") << "no period after ')'";
    ClickAt(form, Centre(*form.Image_Forum_Over));
    EXPECT_EQ(core.OpenedLinks, std::vector<std::string>{"http://127.0.0.1:1/forum"});
}

TEST_F(FormBehaviour, MissingConfigurationShowsItsNoticeBeforeTheWindowAndEnds) {
    SetApplicationTitle("Left over");
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("");
        ui.ShowMessageBox("Essential file missing: Config.ini");
        ui.TerminateApplication();
    };
    TForm_Main* formPtr = nullptr;
    ModalWatcher watcher;
    TForm_Main form(core.Core(), TextNews());
    formPtr = &form;
    ASSERT_EQ(watcher.Seen().size(), 1u) << "the notice is shown while the window is created";
    EXPECT_EQ(watcher.Seen()[0].ClassName, "TMessageForm");
    EXPECT_EQ(watcher.Seen()[0].Caption, "");
    EXPECT_TRUE(watcher.Seen()[0].Text.contains("\r\nEssential file missing: Config.ini\r\n"));
    EXPECT_FALSE(formPtr->isVisible());
    QTimer::singleShot(10000, [] { TerminateApplication(); });
    RunMessageLoop(form);
    EXPECT_TRUE(ApplicationTerminated());
    EXPECT_EQ(core.RunCalls, 0) << "the update timer was never armed";
}

TEST_F(FormBehaviour, AnErrorInTheStartUpHandlerIsShownBeforeTheWindowWhichThenWorks) {
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("Realm");
        throw EConvertError("'$zz' is not a valid integer value");
    };
    ModalWatcher watcher;
    TForm_Main form(core.Core(), TextNews());
    ASSERT_EQ(watcher.Seen().size(), 1u);
    EXPECT_EQ(watcher.Seen()[0].Caption, "Realm");
    EXPECT_EQ(watcher.Seen()[0].Text, "'$zz' is not a valid integer value.");
    EXPECT_FALSE(form.isVisible());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    MoveTo(form, Centre(*form.Image_Forum));
    EXPECT_TRUE(form.Image_Forum_Over->Visible());
    ClickAt(form, Centre(*form.Image_Forum_Over));
    EXPECT_EQ(core.OpenedLinks.size(), 1u);
    QTest::qWait(30);
    EXPECT_EQ(core.RunCalls, 0) << "half-started: the update never runs";
}

TEST_F(FormBehaviour, ACloseRequestFromTheDesktopEndsTheApplication) {
    TForm_Main form(core.Core(), TextNews());
    ShowAndSettle(form);
    form.close();
    QTest::qWait(20);
    EXPECT_TRUE(ApplicationTerminated());
}

} // namespace
} // namespace pc::test
