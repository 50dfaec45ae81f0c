// The window's behaviour without a toolkit: routing, hover, clicks, both ticks, the state around the update
// run, the progress bar's rules and what reaches the front end.
#include "archive/dialog_provider.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "window/patch_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pc::test {
namespace {

// The toolkit's dialogs of the archive component; the model only hands them on, so none is ever shown.
class UnusedDialogs : public TZADialogProvider {
public:
    TZADialogAnswer ShowFailureDialog(const std::string&, TZAFailureButtons) override { return daAbort; }
    TZADialogAnswer ShowOverwriteDialog(const std::string&) override { return daNo; }
    std::optional<std::string> ShowPasswordDialog(const std::string&, const std::string&,
                                                  const std::string&) override {
        return std::nullopt;
    }
};

// A front end that records what the model asks of it. Labels measure 6 pixels per byte, one line high.
class FakeHost : public TFormHost {
public:
    void Invalidate(TRect area) override { Invalidated.push_back(area); }
    TSize MeasureLabel(const TControlLayout& label, const std::string& caption) override {
        return {6 * static_cast<int>(caption.size()), label.Font.PixelHeight + 3};
    }
    void SetWindowCaption(const std::string& text) override { WindowCaption = text; }
    void AppendLogLine(const std::string& text) override { Log.push_back(text); }
    void ReplaceLastLogLine(const std::string& text) override { Log.back() = text; }
    void ProgressChanged(const TProgressState& state) override {
        Progress.push_back(state);
        ProgressAt.push_back(Now);
    }
    void NavigateNews(const std::string& url) override { Navigated.push_back(url); }
    bool StartTimer(TFormTimer timer, int intervalMs) override {
        if (TimersLeft == 0)
            return false;
        --TimersLeft;
        Running[timer] = intervalMs;
        return true;
    }
    void StopTimer(TFormTimer timer) override { Running.erase(timer); }
    void SetPointerCapture(bool captured) override { Captured = captured; }
    void SetApplicationTitle(const std::string& text) override { Title = text; }
    std::string GetApplicationTitle() const override { return Title; }
    void PumpMessages() override {
        if (OnPump)
            OnPump();
        if (QuitPosted)
            Terminated = true; // the pump takes the quit request off the queue
    }
    void ShowMessageBox(const std::string& text) override { Boxes.push_back(text); }
    void TerminateApplication() override { QuitPosted = true; }
    bool TerminationRequested() const override { return Terminated; }
    void ReportError(const std::exception& error) noexcept override {
        Reports.push_back(ErrorReportText(error));
        if (OnReport)
            OnReport();
    }
    TZADialogProvider* ArchiveDialogs() override { return &Dialogs; }
    std::int64_t Milliseconds() const override { return Now; }
    void PopupMenu(TPoint at, const std::vector<TMenuEntry>& entries) override {
        Menus.push_back(entries);
        MenuPoints.push_back(at);
    }

    std::vector<TRect> Invalidated;
    std::string WindowCaption;
    std::vector<std::string> Log;
    std::vector<TProgressState> Progress;
    std::vector<std::int64_t> ProgressAt; // the clock at each of them
    std::vector<std::string> Navigated;
    std::map<TFormTimer, int> Running; // timer -> interval
    int TimersLeft = 8;                // how many more timers the system hands out
    bool Captured = false;
    std::string Title;
    std::function<void()> OnPump;
    std::function<void()> OnReport; // runs while the error box would be up
    bool QuitPosted = false;
    bool Terminated = false;
    std::vector<std::string> Boxes;
    std::vector<std::string> Reports;
    std::int64_t Now = 0;
    UnusedDialogs Dialogs;
    std::vector<std::vector<TMenuEntry>> Menus; // the entries of each context menu shown
    std::vector<TPoint> MenuPoints;
    int MenuChoice = -1; // what the player picks from a context menu (RightClick delivers it)
};

struct FakeCore {
    TLauncherValues Values{"Valhalla",
                           "http://127.0.0.1:1/patchlist.txt",
                           "http://127.0.0.1:1/site",
                           "http://127.0.0.1:1/cp",
                           "http://127.0.0.1:1/forum",
                           "http://127.0.0.1:1/news"};
    std::function<void(UiPort&)> Create = [](UiPort& ui) { ui.ArmPatchTimer(); };
    std::function<void(UiPort&)> Run = [](UiPort&) {};
    std::function<void(const std::string&)> Link = [this](const std::string& url) { Links.push_back(url); };
    std::function<void(UiPort&)> Check = [](UiPort&) {};
    int RunCalls = 0;
    int CheckCalls = 0;
    int StartClicks = 0;
    std::vector<std::string> Links;

    TLauncherCore Core() {
        TLauncherCore core;
        core.FormCreate = [this](UiPort& ui) { Create(ui); };
        core.UpdateRun = [this](UiPort& ui, const std::string& url) {
            ++RunCalls;
            EXPECT_EQ(url, Values.PatchListUrl);
            Run(ui);
        };
        core.StartClient = [this](UiPort&) { ++StartClicks; };
        core.OpenLink = [this](UiPort&, const std::string& url) { Link(url); };
        core.Values = [this] { return Values; };
        core.CheckGameFiles = [this](UiPort& ui) {
            ++CheckCalls;
            Check(ui);
        };
        return core;
    }
};

TPoint Centre(const TGraphicControl* control) {
    const TRect box = control->BoundsRect();
    return {box.Left + box.Width / 2, box.Top + box.Height / 2};
}

constexpr TPoint kBackground{330, 200}; // on Image_Background, under no other control

class WindowModel : public ::testing::Test {
protected:
    TForm_Main& Make(TFormModelOptions options = {}) {
        form = std::make_unique<TForm_Main>(host, core.Core(), options);
        form->Create();
        return *form;
    }
    // The window comes up and is painted; the patch timer's first tick runs the update.
    void ShowAndRun() {
        form->Shown();
        form->Painted();
        form->TimerTick(TFormTimer::Patch);
    }
    void Click(TPoint at) {
        form->MouseDown(TMouseButton::Left, at);
        form->MouseUp(TMouseButton::Left, at);
    }
    // A right-click, and the choice from the menu it opened once that menu has come back.
    void RightClick(TPoint at) {
        const std::size_t menus = host.Menus.size();
        form->MouseDown(TMouseButton::Right, at);
        form->MouseUp(TMouseButton::Right, at);
        if (host.Menus.size() > menus)
            form->MenuChosen(host.MenuChoice);
    }
    // Hovers a button's face, then clicks its highlighted face.
    void Press(TGraphicControl* face, TGraphicControl* over) {
        form->MouseMove(Centre(face));
        Click(Centre(over));
    }
    std::vector<TGraphicControl*> Highlights() const {
        return {form->Image_Start_Over,        form->Label_Start,
                form->Image_WebSite_Over,      form->Label_WebSite,
                form->Image_ControlPanel_Over, form->Label_ControlPanel,
                form->Image_Forum_Over,        form->Label_Forum,
                form->Image_Exit_Over,         form->Label_Exit};
    }

    FakeHost host;
    FakeCore core;
    std::unique_ptr<TForm_Main> form;
};

TEST_F(WindowModel, ControlsFollowTheLayoutTableAndFacesTakeTheirPictureSize) {
    Make();
    std::vector<std::string_view> expected;
    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Kind == TControlKind::Picture || entry.Kind == TControlKind::Label)
            expected.push_back(entry.Name);
    std::vector<std::string_view> built;
    for (const auto& control : form->GraphicControls()) {
        built.push_back(control->Name());
        const TControlLayout& entry = LayoutOf(control->Name());
        EXPECT_EQ(control->Visible(), entry.Visible) << entry.Name;
        EXPECT_EQ(control->BoundsRect().TopLeft(), (TPoint{entry.Left, entry.Top})) << entry.Name;
        if (entry.Kind == TControlKind::Label) {
            EXPECT_EQ(control->Caption(), entry.Text) << entry.Name;
            const TSize size = entry.AutoSize ? host.MeasureLabel(entry, std::string(entry.Text))
                                              : TSize{entry.Width, entry.Height};
            EXPECT_EQ(control->BoundsRect().Size(), size) << entry.Name;
        } else {
            EXPECT_EQ(control->BoundsRect().Size(), (TSize{entry.Width, entry.Height})) << entry.Name;
        }
    }
    EXPECT_EQ(built, expected);
    EXPECT_EQ(form->Caption(), "Patch Client");

    // Faces take their picture's size; the background is stretched over its box whatever its picture.
    form->Image_Start->SetPictureSize({30, 25});
    EXPECT_EQ(form->Image_Start->BoundsRect(), (TRect{234, 75, 30, 25}));
    form->Image_Background->SetPictureSize({100, 100});
    EXPECT_EQ(form->Image_Background->BoundsRect(), (TRect{0, 0, 564, 408}));
}

TEST_F(WindowModel, PlacementCentresByTheDesktopSizeAndNeverGoesNegative) {
    struct Case {
        TSize desktop;
        TPoint expected;
    };
    const Case cases[] = {
        {{1280, 1024}, {358, 308}}, {{1280, 800}, {358, 196}},   {{564, 408}, {0, 0}},
        {{565, 409}, {0, 0}},       {{567, 411}, {1, 1}},        {{500, 300}, {0, 0}},
        {{1000, 400}, {218, 0}},    {{3840, 1080}, {1638, 336}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MainFormPlacement(c.desktop), c.expected) << c.desktop.Width << "x" << c.desktop.Height;
}

TEST_F(WindowModel, LaunchersOpenTogetherCascadeFromTheCentreWithinTheDesktop) {
    struct Case {
        TSize desktop;
        int spot;
        TPoint expected;
    };
    const Case cases[] = {
        {{1280, 1024}, 0, {358, 308}}, // the first launcher is centred
        {{1280, 1024}, 1, {382, 332}}, // the second one step down and to the right
        {{1280, 1024}, 3, {430, 380}},
        {{1280, 1024}, 12, {646, 596}}, // the last step that keeps the window on the desktop (308 / 24)
        {{1280, 1024}, 13, {358, 308}}, // then round again
        {{1280, 1024}, 14, {382, 332}},
        {{1000, 460}, 1, {242, 50}}, // 26 pixels below: room for one step
        {{1000, 460}, 2, {218, 26}},
        {{1000, 450}, 1, {218, 21}},    // 21 pixels below: no room, every window centred
        {{500, 300}, 5, {0, 0}},        // a desktop smaller than the window
        {{1280, 1024}, -1, {358, 308}}, // no spot known: centred
    };
    for (const Case& c : cases) {
        const TPoint at = MainFormPlacement(c.desktop, c.spot);
        EXPECT_EQ(at, c.expected) << c.desktop.Width << "x" << c.desktop.Height << " spot " << c.spot;
        if (c.desktop.Width >= kFormWidth && c.desktop.Height >= kFormHeight) {
            EXPECT_LE(at.X + kFormWidth, c.desktop.Width) << "spot " << c.spot;
            EXPECT_LE(at.Y + kFormHeight, c.desktop.Height) << "spot " << c.spot;
        }
    }
}

TEST_F(WindowModel, HoverHighlightsStaysOnTheFaceAndClearsOnlyOverTheBackground) {
    Make();
    form->MouseMove(Centre(form->Image_Start));
    EXPECT_TRUE(form->Image_Start_Over->Visible() && form->Label_Start->Visible());
    EXPECT_EQ(form->Label_Start->Caption(), "Start Valhalla");

    // Straight from one face onto another: both stay highlighted.
    form->MouseMove(Centre(form->Image_WebSite));
    EXPECT_TRUE(form->Image_Start_Over->Visible() && form->Label_Start->Visible());
    EXPECT_TRUE(form->Image_WebSite_Over->Visible() && form->Label_WebSite->Visible());
    EXPECT_EQ(form->Label_WebSite->Caption(), "Valhalla Website");

    // The highlighted face takes the pointer and has no move handler; a visible caption swallows it; child
    // windows keep it; the pointer leaving the window delivers nothing. None of these clears.
    const TPoint label = form->Label_Start->BoundsRect().TopLeft();
    for (TPoint p :
         {TPoint{Centre(form->Image_WebSite).X + 3, Centre(form->Image_WebSite).Y + 3},
          TPoint{label.X + 2, label.Y + 2}, TPoint{270, 280} /* news */, TPoint{400, 100} /* log */})
        form->MouseMove(p);
    EXPECT_TRUE(form->Image_Start_Over->Visible() && form->Image_WebSite_Over->Visible());

    // Over the background picture every highlight goes; the captions keep their texts.
    form->MouseMove(kBackground);
    for (const TGraphicControl* c : Highlights())
        EXPECT_FALSE(c->Visible()) << c->Name();
    EXPECT_EQ(form->Label_Start->Caption(), "Start Valhalla");

    // Where no picture or label lies (the background hidden by a front end's test), the form clears.
    form->MouseMove(Centre(form->Image_Exit));
    form->Image_Background->SetVisible(false);
    form->MouseMove({540, 300});
    EXPECT_FALSE(form->Image_Exit_Over->Visible());
}

TEST_F(WindowModel, CaptionsAreComposedFromTheServerNameAtHoverTime) {
    struct Case {
        std::string server;
        std::vector<std::string> captions; // Start, Website, Control Panel, Forum, Exit
    };
    const std::vector<Case> cases = {
        {"", {"Start ", " Website", " Control Panel", " Forum", "Exit"}},
        {"Midgard", {"Start Midgard", "Midgard Website", "Midgard Control Panel", "Midgard Forum", "Exit"}},
        {"Caf\xE9 & Co",
         {"Start Caf\xE9 & Co", "Caf\xE9 & Co Website", "Caf\xE9 & Co Control Panel", "Caf\xE9 & Co Forum",
          "Exit"}},
    };
    Make();
    const std::vector<std::pair<TGraphicControl*, TGraphicControl*>> buttons = {
        {form->Image_Start, form->Label_Start},
        {form->Image_WebSite, form->Label_WebSite},
        {form->Image_ControlPanel, form->Label_ControlPanel},
        {form->Image_Forum, form->Label_Forum},
        {form->Image_Exit, form->Label_Exit}};
    for (const Case& c : cases) {
        core.Values.ServerName = c.server;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            form->MouseMove(kBackground);
            form->MouseMove(Centre(buttons[i].first));
            EXPECT_EQ(buttons[i].second->Caption(), c.captions[i]) << "server '" << c.server << "', " << i;
            // The caption's box is sized to its text, from its stored left and top edges.
            const TControlLayout& entry = LayoutOf(buttons[i].second->Name());
            EXPECT_EQ(buttons[i].second->BoundsRect(),
                      (TRect{entry.Left, entry.Top, 6 * static_cast<int>(c.captions[i].size()), 16}));
        }
    }
}

TEST_F(WindowModel, ClicksRunTheButtonActionsOnceEvenOnADoubleClickAndOnlyWithTheLeftButton) {
    Make();
    ShowAndRun();
    form->MouseMove(Centre(form->Image_WebSite));
    const TPoint site = Centre(form->Image_WebSite_Over);
    form->MouseDown(TMouseButton::Left, site);
    form->MouseUp(TMouseButton::Left, site);
    form->MouseDoubleClick(TMouseButton::Left, site);
    form->MouseUp(TMouseButton::Left, site);
    EXPECT_EQ(core.Links, std::vector<std::string>{"http://127.0.0.1:1/site"});

    for (TMouseButton other : {TMouseButton::Right, TMouseButton::Middle, TMouseButton::Other}) {
        form->MouseDown(other, site);
        form->MouseUp(other, site);
    }
    EXPECT_EQ(core.Links.size(), 1u) << "only the left button clicks";

    Press(form->Image_ControlPanel, form->Image_ControlPanel_Over);
    Press(form->Image_Forum, form->Image_Forum_Over);
    Press(form->Image_Start, form->Image_Start_Over);
    EXPECT_EQ(core.Links, (std::vector<std::string>{"http://127.0.0.1:1/site", "http://127.0.0.1:1/cp",
                                                    "http://127.0.0.1:1/forum"}));
    EXPECT_EQ(core.StartClicks, 1);
    // A click on a normal face (not highlighted) does nothing: its face has no click handler.
    form->MouseMove(kBackground);
    Click(Centre(form->Image_Forum));
    EXPECT_EQ(core.Links.size(), 3u);
    EXPECT_FALSE(host.QuitPosted);
    Press(form->Image_Exit, form->Image_Exit_Over);
    EXPECT_TRUE(host.QuitPosted);
}

TEST_F(WindowModel, APressOnAFaceHoldsThePointerAndAReleaseElsewhereIsNoClick) {
    Make();
    form->MouseMove(Centre(form->Image_Forum));
    form->MouseDown(TMouseButton::Left, Centre(form->Image_Forum_Over));
    EXPECT_TRUE(host.Captured);
    EXPECT_EQ(form->PointerCapture(), form->Image_Forum_Over);
    // While the button is held the face gets the moves: passing the background or the news clears nothing.
    form->MouseMove(kBackground);
    form->MouseMove({270, 280});
    EXPECT_TRUE(form->Image_Forum_Over->Visible());
    form->MouseUp(TMouseButton::Left, kBackground);
    EXPECT_FALSE(host.Captured);
    EXPECT_TRUE(core.Links.empty());
    EXPECT_TRUE(form->Image_Forum_Over->Visible());
    form->MouseMove({331, 201});
    EXPECT_FALSE(form->Image_Forum_Over->Visible());

    // A press on a child window or on nothing takes no capture; a cancelled press is no click.
    form->MouseDown(TMouseButton::Left, {270, 280});
    EXPECT_FALSE(host.Captured);
    form->MouseMove(Centre(form->Image_Forum));
    form->MouseDown(TMouseButton::Left, Centre(form->Image_Forum_Over));
    form->CancelMode();
    EXPECT_FALSE(host.Captured);
    form->MouseUp(TMouseButton::Left, Centre(form->Image_Forum_Over));
    EXPECT_TRUE(core.Links.empty());
}

TEST_F(WindowModel, ThePatchTickWaitsForTheFirstPaintOrASecondAfterShowing) {
    Make();
    EXPECT_TRUE(form->Timer_Patch.Enabled());
    EXPECT_EQ(host.Running.at(TFormTimer::Patch), 1);
    form->TimerTick(TFormTimer::Patch);
    EXPECT_EQ(core.RunCalls, 0) << "nothing runs before the window is shown";
    host.Now = 5000;
    form->Shown();
    host.Now = 5999;
    form->TimerTick(TFormTimer::Patch);
    EXPECT_EQ(core.RunCalls, 0);
    form->Shown(); // only the first showing counts
    host.Now = 6000;
    form->TimerTick(TFormTimer::Patch);
    EXPECT_EQ(core.RunCalls, 1) << "a desktop that never paints holds the update back one second";
    form->TimerTick(TFormTimer::Patch);
    EXPECT_EQ(core.RunCalls, 1) << "the patch timer never ticks again";

    // The first painting lets the next tick run at once.
    FakeCore other;
    TForm_Main second(host, other.Core());
    second.Create();
    second.Painted();
    EXPECT_TRUE(second.FirstPaintDone());
    second.TimerTick(TFormTimer::Patch);
    EXPECT_EQ(other.RunCalls, 1);
}

TEST_F(WindowModel, StartIsDisabledDuringTheRunButStillHighlightsAndWorksAfterIt) {
    std::vector<std::string> seen;
    core.Run = [&](UiPort& ui) {
        EXPECT_FALSE(form->Timer_Patch.Enabled());
        EXPECT_EQ(host.Running.count(TFormTimer::Patch), 0u);
        EXPECT_TRUE(form->Timer_Standby.Enabled());
        EXPECT_EQ(host.Running.at(TFormTimer::Standby), 1000);
        EXPECT_TRUE(form->Label_Standby->Visible());
        EXPECT_FALSE(form->Image_Start_Over->Enabled());
        // With the pointer on Start: the highlight and its caption appear, a click lands on the normal
        // face and does nothing; the other buttons work.
        form->MouseMove(Centre(form->Image_Start));
        ui.PumpMessages();
        EXPECT_TRUE(form->Image_Start_Over->Visible() && form->Label_Start->Visible());
        EXPECT_EQ(form->Label_Start->Caption(), "Start Valhalla");
        Click(Centre(form->Image_Start_Over));
        EXPECT_EQ(core.StartClicks, 0);
        Press(form->Image_Forum, form->Image_Forum_Over);
        EXPECT_EQ(core.Links.size(), 1u);
    };
    Make();
    ShowAndRun();
    EXPECT_EQ(core.RunCalls, 1);
    EXPECT_FALSE(form->Timer_Standby.Enabled());
    EXPECT_TRUE(host.Running.empty());
    EXPECT_FALSE(form->Label_Standby->Visible());
    EXPECT_TRUE(form->Image_Start_Over->Enabled());
    // The pointer still rests on the Start face: the same click now starts the client.
    Click(Centre(form->Image_Start_Over));
    EXPECT_EQ(core.StartClicks, 1);
}

TEST_F(WindowModel, TheContextMenuChecksTheGameFilesOnlyOnceTheUpdateHasRun) {
    const std::vector<TMenuEntry> disabled{{"Check game files", false}};
    const std::vector<TMenuEntry> enabled{{"Check game files", true}};
    host.MenuChoice = 0;
    core.Run = [&](UiPort&) { RightClick(kBackground); };
    core.Check = [&](UiPort&) {
        EXPECT_TRUE(form->CheckingGameFiles());
        EXPECT_TRUE(form->Label_Standby->Visible());
        EXPECT_TRUE(form->Timer_Standby.Enabled());
        RightClick(kBackground); // a second check cannot start inside the first
    };
    Make();
    RightClick(kBackground); // the update has yet to run
    ShowAndRun();            // and one runs: a right-click inside it
    EXPECT_EQ(core.CheckCalls, 0);
    // Over the log or the news nothing opens; the left button opens nothing.
    const TControlLayout& log = LayoutOf("Memo_Log");
    RightClick({log.Left + 5, log.Top + 5});
    Click(kBackground);
    EXPECT_EQ(host.Menus, (std::vector<std::vector<TMenuEntry>>{disabled, disabled}));

    RightClick(kBackground);
    EXPECT_EQ(core.CheckCalls, 1);
    EXPECT_EQ(host.Menus, (std::vector<std::vector<TMenuEntry>>{disabled, disabled, enabled, disabled}));
    EXPECT_EQ(host.MenuPoints.back(), kBackground);
    EXPECT_FALSE(form->CheckingGameFiles());
    EXPECT_FALSE(form->Label_Standby->Visible());
    EXPECT_TRUE(host.Running.empty());
    // Closing the menu without a choice starts nothing.
    host.MenuChoice = -1;
    RightClick(kBackground);
    EXPECT_EQ(core.CheckCalls, 1);
}

TEST_F(WindowModel, StartDuringTheCheckWaitsForItsEndAndAnEndingOrAnErrorCancelsIt) {
    struct Case {
        const char* what;
        bool exitDuringCheck;
        bool checkFails;
        int startsAfter;
    } cases[] = {{"a check that ends well", false, false, 1},
                 {"Exit pressed during the check", true, false, 0},
                 {"a check that fails", false, true, 0}};
    for (const auto& c : cases) {
        host = FakeHost();
        core.StartClicks = 0;
        host.MenuChoice = 0;
        core.Check = [&](UiPort& ui) {
            Press(form->Image_Start, form->Image_Start_Over);
            Press(form->Image_Start, form->Image_Start_Over);
            EXPECT_EQ(core.StartClicks, 0) << c.what;
            if (c.exitDuringCheck) {
                Press(form->Image_Exit, form->Image_Exit_Over);
                ui.PumpMessages();
            }
            if (c.checkFails)
                throw EInOutError("Disk full", 112);
        };
        Make();
        ShowAndRun();
        RightClick(kBackground);
        EXPECT_EQ(core.StartClicks, c.startsAfter) << c.what;
        EXPECT_EQ(std::count(host.Log.begin(), host.Log.end(), kStartAfterCheckLine), 1) << c.what;
        EXPECT_EQ(host.Reports,
                  c.checkFails ? std::vector<std::string>{"Disk full."} : std::vector<std::string>{})
            << c.what;
        EXPECT_FALSE(form->CheckingGameFiles()) << c.what;
        EXPECT_FALSE(form->Label_Standby->Visible()) << c.what;
    }
}

TEST_F(WindowModel, StandbyTicksCountOneTwoThreeDotsAndTheLabelGrowsToTheRight) {
    const std::vector<std::string> expected = {"Please Wait.", "Please Wait..", "Please Wait...",
                                               "Please Wait."};
    std::vector<std::string> shown;
    std::vector<bool> repainted;
    core.Run = [&](UiPort& ui) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const TRect before = form->Label_Standby->BoundsRect();
            host.Invalidated.clear();
            host.OnPump = [&] { form->TimerTick(TFormTimer::Standby); };
            ui.PumpMessages();
            shown.push_back(form->Label_Standby->Caption());
            const TRect after = form->Label_Standby->BoundsRect();
            EXPECT_EQ(after.TopLeft(), before.TopLeft());
            EXPECT_EQ(after.Width, 6 * static_cast<int>(shown.back().size()));
            // What was drawn and what will be drawn are both painted again.
            bool covered = false;
            for (const TRect& r : host.Invalidated)
                covered |= r.United(before) == r && r.United(after) == r;
            repainted.push_back(covered);
        }
        host.OnPump = nullptr;
    };
    Make();
    EXPECT_EQ(form->Label_Standby->Caption(), "Please Wait");
    form->TimerTick(TFormTimer::Standby);
    EXPECT_EQ(form->Label_Standby->Caption(), "Please Wait") << "no tick while the timer is disabled";
    ShowAndRun();
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(repainted, std::vector<bool>(expected.size(), true));
    EXPECT_EQ(form->Timer_Standby.Tag, 1) << "the tag is not reset when the timer stops";
    EXPECT_EQ(form->Label_Standby->Caption(), "Please Wait.") << "the hidden label keeps its last text";
}

TEST_F(WindowModel, ARunThatNeverPumpsShowsNoAnimation) {
    core.Run = [&](UiPort& ui) { ui.AppendLogLine("- Cannot download the patch list"); };
    Make();
    ShowAndRun();
    EXPECT_EQ(form->Label_Standby->Caption(), "Please Wait");
    EXPECT_EQ(form->Timer_Standby.Tag, 0);
    EXPECT_FALSE(form->Label_Standby->Visible());
}

// After the error box the window no longer claims that the update runs: the animation stops and the log
// says the update did not finish, naming the installation's file or folder for a full disk or a refused
// file. Start stays without effect, the other buttons work.
TEST_F(WindowModel, AnErrorThatEndsTheRunStopsTheAnimationAndSaysTheUpdateDidNotFinish) {
    struct Case {
        std::function<void()> raise;
        const char* report;
        const char* lastLine;
    };
    const Case cases[] = {
        {[] { throw EInOutError("Disk full", 101, "/games/realm/"); }, "Disk full.",
         "- The update did not finish [/games/realm/]"},
        {[] { throw EInOutError("File access denied", 5, "/games/realm/tmp_PatchList.ini"); },
         "File access denied. [/games/realm/tmp_PatchList.ini]",
         "- The update did not finish [/games/realm/tmp_PatchList.ini]"},
        {[] { throw EInOutError("I/O error 32", 32, "/games/realm/x"); }, "I/O error 32.",
         "- The update did not finish"},
        {[] { throw Exception("Invalid archive file. - Native error: 00035"); },
         "Invalid archive file. - Native error: 00035.", "- The update did not finish"},
        {[] { throw EAbort(); }, "", "- The update did not finish"}, // the player's Abort: no box
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastLine);
        form.reset();
        host = FakeHost();
        core.RunCalls = core.StartClicks = 0;
        core.Links.clear();
        bool standbyDuringBox = false;
        host.OnReport = [&] { standbyDuringBox = form->Timer_Standby.Enabled(); };
        core.Run = [&](UiPort& ui) {
            ui.AppendLogLine("- Searching for updates...");
            form->TimerTick(TFormTimer::Standby);
            c.raise();
        };
        Make();
        ShowAndRun();
        EXPECT_EQ(host.Reports, std::vector<std::string>{c.report});
        EXPECT_TRUE(standbyDuringBox) << "the animation runs while the box is up";
        EXPECT_FALSE(form->Timer_Standby.Enabled());
        EXPECT_FALSE(form->Label_Standby->Visible());
        EXPECT_FALSE(form->Image_Start_Over->Enabled());
        EXPECT_EQ(form->LogText(), "- Searching for updates...\r\n" + std::string(c.lastLine) + "\r\n");
        EXPECT_EQ(host.Log.back(), c.lastLine);
        form->MouseMove(Centre(form->Image_Start));
        EXPECT_TRUE(form->Image_Start_Over->Visible());
        Click(Centre(form->Image_Start_Over));
        EXPECT_EQ(core.StartClicks, 0);
        Press(form->Image_WebSite, form->Image_WebSite_Over);
        EXPECT_EQ(core.Links.size(), 1u);
        form->TimerTick(TFormTimer::Patch);
        EXPECT_EQ(core.RunCalls, 1) << "the patch timer never ticks again";
    }
}

TEST_F(WindowModel, AnErrorInAClickIsReportedAndTheWindowGoesOn) {
    int calls = 0;
    core.Link = [&](const std::string& url) {
        if (calls++ == 0)
            throw Exception("List index out of bounds (3)");
        core.Links.push_back(url);
    };
    Make();
    Press(form->Image_Forum, form->Image_Forum_Over);
    EXPECT_EQ(host.Reports, std::vector<std::string>{"List index out of bounds (3)"});
    EXPECT_FALSE(host.Captured);
    Click(Centre(form->Image_Forum_Over));
    EXPECT_EQ(core.Links, std::vector<std::string>{"http://127.0.0.1:1/forum"});
}

TEST_F(WindowModel, WithoutATimerLeftTheErrorIsReportedAndNothingRuns) {
    struct Case {
        const char* what;
        int timersLeft; // when the start-up arms the patch timer
        bool armed;
    };
    // No timer at start-up: the start-up handler ends there. No timer for the animation: the patch tick
    // ends at its third step, before the update run, and Start stays disabled.
    for (const Case c : {Case{"start-up", 0, false}, Case{"patch tick", 1, true}}) {
        FakeHost h;
        h.TimersLeft = c.timersLeft;
        FakeCore fc;
        fc.Create = [](UiPort& ui) {
            ui.ArmPatchTimer();
            ui.SetServerLabel(" Valhalla ");
        };
        TForm_Main f(h, fc.Core());
        f.Create();
        EXPECT_EQ(h.Reports.size(), c.armed ? 0u : 1u) << c.what;
        EXPECT_EQ(f.Timer_Patch.Enabled(), c.armed) << c.what;
        EXPECT_EQ(f.Label_ServerName->Caption(), c.armed ? " Valhalla " : "") << c.what;
        f.Shown();
        f.Painted();
        f.TimerTick(TFormTimer::Patch);
        EXPECT_EQ(fc.RunCalls, 0) << c.what;
        EXPECT_EQ(h.Reports, std::vector<std::string>{"Not enough timers available."}) << c.what;
        if (c.armed) {
            EXPECT_FALSE(f.Timer_Patch.Enabled());
            EXPECT_FALSE(f.Timer_Standby.Enabled());
            EXPECT_FALSE(f.Image_Start_Over->Enabled());
            EXPECT_FALSE(f.Label_Standby->Visible());
        }
    }
}

TEST_F(WindowModel, ExitDuringADownloadOnlyRequestsTheEndAndTheRunCompletes) {
    std::vector<bool> endingAfterPump;
    core.Run = [&](UiPort& ui) {
        for (int i = 0; i < 4; ++i) {
            if (i == 1)
                Press(form->Image_Exit, form->Image_Exit_Over);
            ui.StepProgress(1);
            ui.PumpMessages();
            endingAfterPump.push_back(ui.TerminationRequested());
        }
        ui.AppendLogLine("- Update process completed");
    };
    Make();
    ShowAndRun();
    EXPECT_EQ(endingAfterPump, (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(form->LogText(), "- Update process completed\r\n");
    EXPECT_EQ(host.Log, std::vector<std::string>{"- Update process completed"});
    EXPECT_FALSE(form->Label_Standby->Visible()) << "the patch tick completed its last steps";
    EXPECT_TRUE(form->Image_Start_Over->Enabled());

    // A close request from the desktop ends the application the same way.
    host.QuitPosted = false;
    form->CloseRequested();
    EXPECT_TRUE(host.QuitPosted);
}

TEST_F(WindowModel, TheProgressBarKeepsItsRangeRulesAndTellsTheFrontEnd) {
    Make();
    const std::int32_t big = std::numeric_limits<std::int32_t>::max();
    struct Step {
        const char* what;
        std::function<void()> act;
        std::int32_t max, position;
    };
    const std::vector<Step> steps = {
        {"max 900", [&] { form->SetProgressMax(900); }, 900, 0},
        {"step 1024 stops at max", [&] { form->StepProgress(1024); }, 900, 900},
        {"position above max", [&] { form->SetProgressPosition(5000); }, 900, 900},
        {"position below min", [&] { form->SetProgressPosition(-7); }, 900, 0},
        {"negative step stops at min", [&] { form->StepProgress(-5); }, 900, 0},
        {"max near 2^31", [&] { form->SetProgressMax(big); }, big, 0},
        {"position 100000", [&] { form->SetProgressPosition(100000); }, big, 100000},
        {"step past 2^31 stops at the top", [&] { form->StepProgress(big); }, big, big},
        {"max 0 pulls the position down", [&] { form->SetProgressMax(0); }, 0, 0},
    };
    for (const Step& s : steps) {
        s.act();
        EXPECT_EQ(form->ProgressBar.Max(), s.max) << s.what;
        EXPECT_EQ(form->ProgressBar.Position(), s.position) << s.what;
        ASSERT_FALSE(host.Progress.empty());
        EXPECT_EQ(host.Progress.back(), form->ProgressBar.State()) << s.what;
    }

    form->SetProgressMax(900);
    form->SetProgressPosition(300);
    const std::size_t told = host.Progress.size();
    try {
        form->SetProgressMax(-1);
        ADD_FAILURE() << "a maximum below the minimum must raise";
    } catch (const EInvalidOperation& error) {
        EXPECT_STREQ(error.what(), "TProgressBar property out of range");
    }
    form->SetProgressPosition(300); // no change: nothing to tell
    EXPECT_EQ(host.Progress.size(), told);
    EXPECT_EQ(form->ProgressBar.State(), (TProgressState{false, 0, 900, 300}));

    // Visible, the bar is a child window that keeps the pointer over its box.
    const TPoint bar{400, 168};
    form->MouseMove(Centre(form->Image_Exit));
    form->MouseMove(bar);
    EXPECT_FALSE(form->Image_Exit_Over->Visible()) << "the hidden bar lets the background take the pointer";
    form->SetProgressVisible(true);
    EXPECT_TRUE(host.Progress.back().Visible);
    form->MouseMove(Centre(form->Image_Exit));
    form->MouseMove(bar);
    EXPECT_TRUE(form->Image_Exit_Over->Visible());
}

TEST_F(WindowModel, DownloadStepsRepaintTheBarOnlyWhenItsBlocksChangeAndAtMostThirtyTimesASecond) {
    Make();
    const TControlLayout& layout = LayoutOf("ProgressBar");
    const TSize inside{layout.Width - 2 * kProgressFrame, layout.Height - 2 * kProgressFrame};
    const auto blocks = [&](const TProgressState& state) { return ProgressBlocksOf(state, inside).Count; };
    const std::int32_t size = 128 * 1024 * 1024;
    const int allBlocks = blocks({true, 0, size, size});
    ASSERT_GT(allBlocks, 10);

    // 1 KiB reads with a pump after each, at 100 MB/s (the blocks change every ~84 ms) and at 1 GB/s (every
    // ~8 ms, faster than the rate limit).
    for (const int readsPerMs : {100, 1000}) {
        SCOPED_TRACE(readsPerMs);
        form->SetProgressVisible(true);
        form->SetProgressPosition(0);
        form->SetProgressMax(size);
        const std::size_t first = host.Progress.size();
        for (std::int32_t done = 0, reads = 0; done < size; done += 1024) {
            form->StepProgress(1024);
            form->PumpMessages();
            if (++reads % readsPerMs == 0)
                ++host.Now;
        }
        ASSERT_GT(host.Progress.size(), first);
        EXPECT_EQ(host.Progress.back(), form->ProgressBar.State()) << "the full bar is shown at once";
        for (std::size_t i = first + 1; i < host.Progress.size(); ++i) {
            EXPECT_NE(blocks(host.Progress[i]), blocks(host.Progress[i - 1])) << "repainted without a change";
            if (i + 1 < host.Progress.size()) {
                EXPECT_GE(host.ProgressAt[i] - host.ProgressAt[i - 1], 33) << "more than 30 times a second";
            }
        }
        const std::size_t repaints = host.Progress.size() - first;
        if (readsPerMs == 100)
            EXPECT_EQ(repaints, static_cast<std::size_t>(allBlocks)) << "each block shown as it arrives";
        else
            EXPECT_LE(repaints, static_cast<std::size_t>(size / 1024 / readsPerMs / 33 + 2));
    }

    // A step held back by the rate limit is shown by a pump once its time has come, and a log line brings
    // the bar to its exact state, as does the end of the run.
    form->SetProgressPosition(0); // shown at once
    host.Now += 33;
    form->StepProgress(size / 4); // shown: more blocks and long enough since the last repaint
    EXPECT_EQ(host.Progress.back().Position, size / 4);
    form->StepProgress(size / 4);
    EXPECT_EQ(host.Progress.back().Position, size / 4) << "held back: within 33 ms of the last repaint";
    host.Now += 33;
    form->PumpMessages();
    EXPECT_EQ(host.Progress.back().Position, size / 2);
    form->StepProgress(1024);
    EXPECT_EQ(host.Progress.back().Position, size / 2) << "the same blocks: nothing to repaint";
    form->AppendLogLine("- Downloaded: p0001");
    EXPECT_EQ(host.Progress.back(), form->ProgressBar.State());
}

TEST_F(WindowModel, AnErrorThatEndsADownloadLeavesTheBarShowingWhereItStopped) {
    core.Run = [](UiPort& ui) {
        ui.SetProgressVisible(true);
        ui.SetProgressMax(1000);
        ui.StepProgress(900); // held back: within 33 ms of the last repaint
        throw EInOutError("Disk full", 112);
    };
    Make();
    ShowAndRun();
    EXPECT_EQ(host.Reports, std::vector<std::string>{"Disk full."});
    ASSERT_FALSE(host.Progress.empty());
    EXPECT_EQ(host.Progress.back(), (TProgressState{true, 0, 1000, 900}));
}

TEST_F(WindowModel, ASixteenBitProgressControlRejectsValuesOutsideItsRange) {
    Make({.SixteenBitProgress = true});
    form->SetProgressMax(65535);
    for (std::int32_t bad : {65536, -1, 900000}) {
        try {
            form->SetProgressMax(bad);
            ADD_FAILURE() << bad;
        } catch (const EInvalidOperation& error) {
            EXPECT_STREQ(error.what(), "Value must be between 0 and 65535");
        }
        EXPECT_THROW(form->SetProgressPosition(bad), EInvalidOperation);
    }
    form->StepProgress(70000); // stepping stops at the maximum and raises nothing
    EXPECT_EQ(form->ProgressBar.State(), (TProgressState{false, 0, 65535, 65535}));
}

TEST_F(WindowModel, TheCoresWindowOperationsReachTheFrontEnd) {
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("Valhalla Online");
        ui.SetWindowCaption("Valhalla Online");
        ui.SetServerLabel(" Valhalla ");
        ui.NavigateNews("http://127.0.0.1:1/news.html");
        std::unique_ptr<TMemo> buffer = ui.CreateHiddenTextBuffer();
        buffer->SetText("server_name=Valhalla;");
        EXPECT_EQ(buffer->Text(), "server_name=Valhalla;");
        ui.DestroyHiddenTextBuffer(std::move(buffer));
        ui.ShowMessageBox("Essential file missing: Config.ini");
        ui.AppendLogLine("- Searching for updates...");
        ui.AppendLogLine("- Downloaded: p0042");
    };
    Make();
    EXPECT_EQ(form->GetApplicationTitle(), "Valhalla Online");
    EXPECT_EQ(host.WindowCaption, "Valhalla Online");
    EXPECT_EQ(form->Caption(), "Valhalla Online");
    EXPECT_EQ(form->Label_ServerName->Caption(), " Valhalla ");
    EXPECT_EQ(form->Label_ServerName->BoundsRect(), (TRect{376, 8, 176, 25})) << "a fixed box";
    EXPECT_EQ(host.Navigated, std::vector<std::string>{"http://127.0.0.1:1/news.html"});
    EXPECT_EQ(host.Boxes, std::vector<std::string>{"Essential file missing: Config.ini"});
    EXPECT_EQ(host.Log, (std::vector<std::string>{"- Searching for updates...", "- Downloaded: p0042"}));
    EXPECT_EQ(form->LogText(), "- Searching for updates...\r\n- Downloaded: p0042\r\n");
    EXPECT_FALSE(form->Timer_Patch.Enabled()) << "this start-up never armed the update";
    EXPECT_EQ(form->ZipArchiver().DialogProvider, host.ArchiveDialogs());
    EXPECT_FALSE(form->ZipArchiver().ExtractCorruptedFiles);
}

TEST_F(WindowModel, AnErrorInTheStartUpHandlerIsReportedAndTheWindowThenWorks) {
    core.Create = [](UiPort& ui) {
        ui.SetApplicationTitle("Realm");
        throw EConvertError("'$zz' is not a valid integer value");
    };
    Make();
    EXPECT_EQ(host.Reports, std::vector<std::string>{"'$zz' is not a valid integer value."});
    ShowAndRun();
    EXPECT_EQ(core.RunCalls, 0) << "half-started: the update never runs";
    Press(form->Image_Forum, form->Image_Forum_Over);
    EXPECT_EQ(core.Links.size(), 1u);
}

// The speed limit's submenu shows the current choice checked, and a choice reaches the core at once.
TEST_F(WindowModel, TheSpeedLimitSubmenuShowsAndSetsTheChoice) {
    std::int64_t limit = 2000000;
    std::vector<std::int64_t> set;
    TLauncherCore wired = core.Core();
    wired.SpeedLimit = [&] { return limit; };
    wired.SetSpeedLimit = [&](UiPort&, std::int64_t bytes) { set.push_back(limit = bytes); };
    form = std::make_unique<TForm_Main>(host, wired);
    form->Create();
    const char* texts[] = {"Unlimited", "1 MB/s", "2 MB/s", "5 MB/s", "10 MB/s", "20 MB/s"};
    // Each round: the entry picked (after "Check game files"), and the entry checked in the menu it was
    // picked from.
    for (const auto& [choice, checked] : {std::pair{6, 2}, std::pair{1, 5}, std::pair{3, 0}}) {
        host.MenuChoice = choice;
        RightClick(kBackground);
        ASSERT_EQ(host.Menus.back().size(), 7u);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(host.Menus.back()[static_cast<std::size_t>(i) + 1],
                      (TMenuEntry{texts[i], true, "Download speed limit", i == checked}));
    }
    EXPECT_EQ(set, (std::vector<std::int64_t>{20000000, 0, 2000000}));
}

// ---- The keyboard and screen readers ----

TEST_F(WindowModel, TabWalksTheFocusOrderBothWaysAndTheFocusedButtonShowsItsHighlight) {
    Make();
    using S = TFocusStop;
    struct Row {
        int tabs, backTabs; // from no focus: Tab presses, then Shift+Tab presses
        S expected;
    } rows[] = {{1, 0, S::Start}, {2, 0, S::WebSite}, {5, 0, S::Exit},    {6, 0, S::ServerName},
                {7, 0, S::News},  {8, 0, S::Start},   {0, 1, S::News},    {0, 2, S::ServerName},
                {0, 7, S::Start}, {1, 1, S::News},    {3, 1, S::WebSite}, {4, 2, S::WebSite}};
    for (const Row& row : rows) {
        form = nullptr;
        Make();
        for (int i = 0; i < row.tabs; ++i)
            EXPECT_TRUE(form->KeyDown(TKey::Tab, false));
        for (int i = 0; i < row.backTabs; ++i)
            EXPECT_TRUE(form->KeyDown(TKey::Tab, true));
        ASSERT_EQ(form->Focused(), row.expected) << row.tabs << " " << row.backTabs;
        // Only the focused button is highlighted, and moving over the background leaves its highlight on.
        form->MouseMove(kBackground);
        const auto stop = static_cast<std::size_t>(row.expected);
        const auto highlights = Highlights();
        for (std::size_t i = 0; i < highlights.size(); ++i)
            EXPECT_EQ(highlights[i]->Visible(), i / 2 == stop) << highlights[i]->Name() << " " << stop;
        EXPECT_EQ(form->FocusFrame().Empty(), stop < 5);
    }
}

TEST_F(WindowModel, EnterAndSpacePressTheFocusedPartOnceAsItsClickWould) {
    using S = TFocusStop;
    struct Row {
        S stop;
        std::string link; // empty: no browser
        int starts;
        bool quits;
    } rows[] = {{S::Start, "", 1, false},
                {S::WebSite, "http://127.0.0.1:1/site", 0, false},
                {S::ControlPanel, "http://127.0.0.1:1/cp", 0, false},
                {S::Forum, "http://127.0.0.1:1/forum", 0, false},
                {S::Exit, "", 0, true},
                {S::ServerName, "http://127.0.0.1:1/site", 0, false},
                {S::News, "http://127.0.0.1:1/news", 0, false}};
    for (const TKey key : {TKey::Enter, TKey::Space})
        for (const Row& row : rows) {
            form = nullptr;
            core.Links.clear();
            core.StartClicks = 0;
            host.QuitPosted = false;
            Make();
            EXPECT_FALSE(form->KeyDown(key, false)) << "nothing has the focus yet";
            ShowAndRun();
            form->FocusStop(row.stop);
            EXPECT_TRUE(form->KeyDown(key, false));
            EXPECT_TRUE(form->KeyDown(key, false, true)); // a held key repeats nothing
            EXPECT_EQ(core.Links,
                      row.link.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.link});
            EXPECT_EQ(core.StartClicks, row.starts);
            EXPECT_EQ(host.QuitPosted, row.quits);
            EXPECT_FALSE(form->KeyDown(TKey::Other, false));
        }
}

TEST_F(WindowModel, EnterOnStartDoesNothingWhileTheUpdateRuns) {
    Make();
    core.Run = [this](UiPort&) {
        form->FocusStop(TFocusStop::Start);
        EXPECT_FALSE(form->AccessibleItems()[0].Enabled);
        form->KeyDown(TKey::Enter, false);
    };
    ShowAndRun();
    EXPECT_EQ(core.StartClicks, 0);
    form->KeyDown(TKey::Enter, false);
    EXPECT_EQ(core.StartClicks, 1);
    EXPECT_TRUE(form->AccessibleItems()[0].Enabled);
}

TEST_F(WindowModel, EachPartIsNamedByTheCaptionItShowsAndDescribedByItsHint) {
    Make();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Start Valhalla", "Starts the game"},
        {"Valhalla Website", "Opens the server's website in your browser"},
        {"Valhalla Control Panel", "Opens the server's control panel in your browser"},
        {"Valhalla Forum", "Opens the server's forum in your browser"},
        {"Exit", "Closes the launcher"},
        {"Valhalla", "Opens the server's website in your browser"},
        {"News", "Opens the news page in your browser"}};
    const std::vector<TAccessibleItem> items = form->AccessibleItems();
    ASSERT_EQ(items.size(), expected.size());
    const auto highlights = Highlights();
    const TGraphicControl* faces[] = {form->Image_Start, form->Image_WebSite, form->Image_ControlPanel,
                                      form->Image_Forum, form->Image_Exit};
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].Stop, kFocusOrder[i]);
        EXPECT_EQ(std::make_pair(items[i].Name, items[i].Description), expected[i]);
        if (i < 5) { // what a sighted player reads on hovering the button
            form->MouseMove(Centre(faces[i]));
            EXPECT_EQ(highlights[2 * i + 1]->Caption(), items[i].Name);
            EXPECT_EQ(items[i].Bounds, faces[i]->BoundsRect());
        }
    }
}

} // namespace
} // namespace pc::test
