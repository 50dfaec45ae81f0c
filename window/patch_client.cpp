#include "window/patch_client.h"

#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "launcher/archiver_settings.h"
#include "launcher/install/settings.h"
#include "launcher/update_run.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace pc {

namespace {

TRect BoxOf(const TControlLayout& entry) {
    return {entry.Left, entry.Top, entry.Width, entry.Height};
}

enum class TEvent { MouseMove, Click };

struct TWiring {
    std::string_view Control;
    TEvent Event;
    void (TForm_Main::*Handler)();
};

// Which handler each control raises. No other picture or label reacts to anything.
const TWiring kWiring[] = {
    {"Image_Background", TEvent::MouseMove, &TForm_Main::Image_BackMouseMove},
    {"Image_Back", TEvent::MouseMove, &TForm_Main::Image_BackMouseMove},
    {"Image_Start", TEvent::MouseMove, &TForm_Main::Image_StartMouseMove},
    {"Image_WebSite", TEvent::MouseMove, &TForm_Main::Image_WebSiteMouseMove},
    {"Image_ControlPanel", TEvent::MouseMove, &TForm_Main::Image_ControlPanelMouseMove},
    {"Image_Forum", TEvent::MouseMove, &TForm_Main::Image_ForumMouseMove},
    {"Image_Exit", TEvent::MouseMove, &TForm_Main::Image_ExitMouseMove},
    {"Image_Start_Over", TEvent::Click, &TForm_Main::Image_Start_OverClick},
    {"Image_WebSite_Over", TEvent::Click, &TForm_Main::Image_WebSite_OverClick},
    {"Image_ControlPanel_Over", TEvent::Click, &TForm_Main::Image_ControlPanel_OverClick},
    {"Image_Forum_Over", TEvent::Click, &TForm_Main::Image_Forum_OverClick},
    {"Image_Exit_Over", TEvent::Click, &TForm_Main::Image_Exit_OverClick},
};

// A desktop that never asks for the first painting (a window kept off screen) holds the update back for
// this long at most.
constexpr std::int64_t kFirstPaintWaitMs = 1000;

// A step alone repaints the progress bar at most this often: about 30 times a second.
constexpr std::int64_t kProgressRepaintMs = 33;

TSize ProgressInside() {
    const TControlLayout& bar = LayoutOf("ProgressBar");
    return {bar.Width - 2 * kProgressFrame, bar.Height - 2 * kProgressFrame};
}

} // namespace

// ---- Pictures and labels ----

TGraphicControl::TGraphicControl(TFormHost& host, const TControlLayout& layout)
    : host_(host), layout_(layout), bounds_(BoxOf(layout)), visible_(layout.Visible) {}

void TGraphicControl::SetVisible(bool visible) {
    if (visible_ == visible)
        return;
    visible_ = visible;
    host_.Invalidate(bounds_);
}

void TGraphicControl::SetBounds(TRect bounds) {
    if (bounds_ == bounds)
        return;
    const TRect old = bounds_;
    bounds_ = bounds;
    if (visible_)
        host_.Invalidate(old.United(bounds_));
}

void TGraphicControl::SetCaption(const std::string& caption) {
    if (caption_ == caption)
        return;
    caption_ = caption;
    if (layout_.AutoSize && layout_.Kind == TControlKind::Label) {
        // The left and top edges stay; the box grows or shrinks to the right and downwards.
        const TSize size = host_.MeasureLabel(layout_, caption_);
        SetBounds({bounds_.Left, bounds_.Top, size.Width, size.Height});
    }
    if (visible_)
        host_.Invalidate(bounds_);
}

void TGraphicControl::SetPictureSize(TSize size) {
    if (layout_.Kind != TControlKind::Picture || layout_.Drawing == TPictureDrawing::Stretch ||
        size.Width <= 0 || size.Height <= 0)
        return;
    SetBounds({bounds_.Left, bounds_.Top, size.Width, size.Height});
}

// ---- Timers and the progress bar ----

void TTimer::SetEnabled(bool enabled) {
    // Enabling first stops and then starts the system timer, so the interval begins anew.
    if (enabled_)
        host_.StopTimer(id_);
    enabled_ = false;
    if (!enabled)
        return;
    if (!host_.StartTimer(id_, interval_))
        throw EOutOfResources(kNoTimersText);
    enabled_ = true;
}

void TProgressBar::CheckSixteenBit(std::int64_t value) const {
    if (sixteenBit_ && (value < 0 || value > 65535))
        throw EInvalidOperation("Value must be between 0 and 65535");
}

void TProgressBar::Change(const TProgressState& next) {
    if (next == state_)
        return;
    state_ = next;
    Show();
}

bool TProgressBar::LooksLikeShown() const {
    if (state_.Visible != shown_.Visible || state_.Min != shown_.Min || state_.Max != shown_.Max)
        return false;
    static const TSize inside = ProgressInside();
    return ProgressBlocksOf(state_, inside).Count == ProgressBlocksOf(shown_, inside).Count;
}

void TProgressBar::Show() {
    shown_ = state_;
    shownAt_ = host_.Milliseconds();
    host_.ProgressChanged(state_);
}

void TProgressBar::ShowDueStep() {
    if (!LooksLikeShown() && host_.Milliseconds() - shownAt_ >= kProgressRepaintMs)
        Show();
}

void TProgressBar::Flush() {
    if (state_ != shown_)
        Show();
}

void TProgressBar::SetVisible(bool visible) {
    TProgressState next = state_;
    next.Visible = visible;
    Change(next);
}

void TProgressBar::SetMax(std::int32_t maximum) {
    CheckSixteenBit(maximum);
    if (maximum < state_.Min)
        throw EInvalidOperation(PropertyOutOfRangeText("TProgressBar"));
    TProgressState next = state_;
    next.Max = maximum;
    next.Position = std::clamp(next.Position, next.Min, next.Max);
    Change(next);
}

void TProgressBar::SetPosition(std::int32_t position) {
    CheckSixteenBit(position);
    TProgressState next = state_;
    next.Position = std::clamp(position, next.Min, next.Max);
    Change(next);
}

void TProgressBar::StepBy(std::int32_t delta) {
    const std::int64_t target = static_cast<std::int64_t>(state_.Position) + delta;
    state_.Position = static_cast<std::int32_t>(std::clamp<std::int64_t>(target, state_.Min, state_.Max));
    if (state_.Position == state_.Max && state_ != shown_)
        Show(); // the bar stays full while the patch is applied, when nothing repaints
    else
        ShowDueStep();
}

// ---- The form ----

TForm_Main::TForm_Main(TFormHost& host, TLauncherCore core, TFormModelOptions options)
    : Timer_Patch(host, TFormTimer::Patch, kPatchTimerInterval),
      Timer_Standby(host, TFormTimer::Standby, kStandbyTimerInterval),
      ProgressBar(host, options.SixteenBitProgress), host_(host), core_(std::move(core)),
      caption_(kFormCaption) {
    for (const TControlLayout& entry : kMainFormLayout) {
        if (entry.Kind != TControlKind::Picture && entry.Kind != TControlKind::Label)
            continue;
        auto control = std::make_unique<TGraphicControl>(host_, entry);
        if (entry.Kind == TControlKind::Label)
            control->SetCaption(std::string(entry.Text));
        graphics_.push_back(std::move(control));
    }
    for (const TWiring& wiring : kWiring) {
        TGraphicControl* control = Named(wiring.Control);
        (wiring.Event == TEvent::MouseMove ? control->onMouseMove_ : control->onClick_) = wiring.Handler;
    }

    Image_Background = Named("Image_Background");
    Image_Back = Named("Image_Back");
    Image_Start = Named("Image_Start");
    Image_Start_Over = Named("Image_Start_Over");
    Image_WebSite = Named("Image_WebSite");
    Image_WebSite_Over = Named("Image_WebSite_Over");
    Image_ControlPanel = Named("Image_ControlPanel");
    Image_ControlPanel_Over = Named("Image_ControlPanel_Over");
    Image_Forum = Named("Image_Forum");
    Image_Forum_Over = Named("Image_Forum_Over");
    Image_Exit = Named("Image_Exit");
    Image_Exit_Over = Named("Image_Exit_Over");
    Label_Standby = Named("Label_Standby");
    Label_Start = Named("Label_Start");
    Label_WebSite = Named("Label_WebSite");
    Label_ControlPanel = Named("Label_ControlPanel");
    Label_Forum = Named("Label_Forum");
    Label_Exit = Named("Label_Exit");
    Label_advertisement = Named("Label_advertisement");
    Label_ServerName = Named("Label_ServerName");
    buttons_ = {{{Image_Start, Image_Start_Over, Label_Start},
                 {Image_WebSite, Image_WebSite_Over, Label_WebSite},
                 {Image_ControlPanel, Image_ControlPanel_Over, Label_ControlPanel},
                 {Image_Forum, Image_Forum_Over, Label_Forum},
                 {Image_Exit, Image_Exit_Over, Label_Exit}}};

    zipArchiver_ = std::make_unique<TZipArchiver>();
    ApplyLauncherArchiverSettings(*zipArchiver_);
    zipArchiver_->DialogProvider = host_.ArchiveDialogs();
}

TForm_Main::~TForm_Main() = default;

TGraphicControl* TForm_Main::Named(std::string_view name) const {
    TGraphicControl* control = FindControl(name);
    if (!control)
        throw Exception("The window layout lacks " + std::string(name));
    return control;
}

TGraphicControl* TForm_Main::FindControl(std::string_view name) const {
    for (const auto& control : graphics_)
        if (control->Name() == name)
            return control.get();
    return nullptr;
}

TGraphicControl* TForm_Main::ControlAt(TPoint point) const {
    for (auto it = graphics_.rbegin(); it != graphics_.rend(); ++it) {
        TGraphicControl* control = it->get();
        if (control->Visible() && control->Enabled() && control->BoundsRect().Contains(point))
            return control;
    }
    return nullptr;
}

bool TForm_Main::ChildWindowAt(TPoint point) const {
    for (const TControlLayout& entry : kMainFormLayout) {
        bool visible = false;
        switch (entry.Kind) {
        case TControlKind::Memo:
        case TControlKind::WebView:
            visible = entry.Visible; // nothing changes their visibility
            break;
        case TControlKind::ProgressBar:
            visible = ProgressBar.Visible();
            break;
        case TControlKind::Picture:
        case TControlKind::Label:
            continue;
        }
        if (visible && BoxOf(entry).Contains(point))
            return true;
    }
    return false;
}

TLauncherValues TForm_Main::Values() const {
    return core_.Values ? core_.Values() : TLauncherValues{};
}

// Where the window system delivers an event: what escapes the handler is reported, the pointer capture
// is given up, and the program goes on with the next event.
template <class F> void TForm_Main::Guarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (const std::exception& error) {
        Abandoned();
        host_.ReportError(error);
    } catch (...) {
        Abandoned();
        host_.ReportError(std::runtime_error("Unknown error"));
    }
}

void TForm_Main::GuardedCall(const std::function<void()>& handler) noexcept {
    Guarded(handler);
}

void TForm_Main::Abandoned() noexcept {
    CancelMode();
    try {
        ProgressBar.Flush(); // the bar shows where the abandoned work left it
    } catch (...) {
        // The front end could not repaint; the report goes on regardless.
    }
}

void TForm_Main::Create() {
    Guarded([this] {
        if (core_.FormCreate)
            core_.FormCreate(*this);
    });
}

// ---- Events ----

void TForm_Main::MouseMove(TPoint point) {
    // Child windows keep the pointer unless a press on a picture holds it.
    if (!capture_ && ChildWindowAt(point))
        return;
    Guarded([&] {
        TGraphicControl* target = capture_ ? capture_ : ControlAt(point);
        if (!target)
            FormMouseMove();
        else if (target->onMouseMove_)
            (this->*target->onMouseMove_)();
    });
}

void TForm_Main::MouseDown(TMouseButton button, TPoint point) {
    if (button != TMouseButton::Left || ChildWindowAt(point))
        return;
    ReleaseCapture();
    capture_ = ControlAt(point);
    clickPending_ = capture_ != nullptr;
    if (capture_)
        host_.SetPointerCapture(true);
}

void TForm_Main::MouseDoubleClick(TMouseButton button, TPoint point) {
    // The second press of a double click holds the pointer but never makes a second click.
    if (button != TMouseButton::Left || ChildWindowAt(point))
        return;
    ReleaseCapture();
    capture_ = ControlAt(point);
    clickPending_ = false;
    if (capture_)
        host_.SetPointerCapture(true);
}

void TForm_Main::MouseUp(TMouseButton button, TPoint point) {
    if (button == TMouseButton::Right && !capture_ && !ChildWindowAt(point))
        Guarded([&] { OpenContextMenu(point); });
    if (button != TMouseButton::Left)
        return;
    TGraphicControl* control = capture_;
    const bool click = clickPending_ && control && control->BoundsRect().Contains(point);
    ReleaseCapture();
    if (click && control->onClick_)
        Guarded([&] { (this->*control->onClick_)(); });
}

void TForm_Main::ReleaseCapture() {
    const bool held = capture_ != nullptr;
    capture_ = nullptr;
    clickPending_ = false;
    if (held)
        host_.SetPointerCapture(false);
}

void TForm_Main::CancelMode() {
    ReleaseCapture();
}

void TForm_Main::TimerTick(TFormTimer timer) {
    if (timer == TFormTimer::Patch) {
        if (!Timer_Patch.Enabled())
            return;
        // The update starts only once the window has been shown and painted for the first time.
        const bool shownLongEnough = shownAt_ >= 0 && host_.Milliseconds() - shownAt_ >= kFirstPaintWaitMs;
        if (!firstPaintDone_ && !shownLongEnough)
            return;
        Guarded([this] { Timer_PatchTimer(); });
    } else {
        if (!Timer_Standby.Enabled())
            return;
        Guarded([this] { Timer_StandbyTimer(); });
    }
}

void TForm_Main::Shown() {
    if (shownAt_ < 0)
        shownAt_ = host_.Milliseconds();
}

void TForm_Main::Painted() {
    firstPaintDone_ = true;
}

void TForm_Main::CloseRequested() {
    // Closing the main window ends the application, once control is back in the main loop.
    Guarded([this] { TerminateApplication(); });
}

void TForm_Main::NewsLinkOut(const std::string& url) {
    Guarded([&] {
        if (core_.OpenLink)
            core_.OpenLink(*this, url);
    });
}

// ---- Hover, clear and clicks ----

void TForm_Main::Highlight(TButtonIndex button) {
    const TButton& b = buttons_[button];
    b.Over->SetVisible(true);
    b.Caption->SetVisible(true);
    b.Caption->SetCaption(HighlightCaption(button));
}

std::string TForm_Main::HighlightCaption(TButtonIndex button) const {
    const std::string server = Values().ServerName;
    switch (button) {
    case bStart:
        return "Start " + server;
    case bWebSite:
        return server + " Website";
    case bControlPanel:
        return server + " Control Panel";
    case bForum:
        return server + " Forum";
    case bExit:
        break;
    }
    return buttons_[button].Caption->Caption(); // Exit keeps its stored caption
}

void TForm_Main::FormMouseMove() {
    Image_BackMouseMove();
}

void TForm_Main::Image_BackMouseMove() {
    for (const TButton& b : buttons_) {
        // The button with the keyboard's focus keeps showing it.
        if (focus_ && static_cast<std::size_t>(*focus_) < buttons_.size() &&
            &b == &buttons_[static_cast<std::size_t>(*focus_)])
            continue;
        b.Over->SetVisible(false);
        b.Caption->SetVisible(false);
    }
}

void TForm_Main::Image_StartMouseMove() {
    Highlight(bStart);
}
void TForm_Main::Image_WebSiteMouseMove() {
    Highlight(bWebSite);
}
void TForm_Main::Image_ControlPanelMouseMove() {
    Highlight(bControlPanel);
}
void TForm_Main::Image_ForumMouseMove() {
    Highlight(bForum);
}
void TForm_Main::Image_ExitMouseMove() {
    Highlight(bExit);
}

void TForm_Main::Image_Start_OverClick() {
    if (checking_) {
        // The game must not start on files that are being replaced; it starts once they are whole.
        if (!startPending_)
            AppendLogLine(kStartAfterCheckLine);
        startPending_ = true;
        return;
    }
    if (core_.StartClient)
        core_.StartClient(*this);
}

void TForm_Main::Image_WebSite_OverClick() {
    if (core_.OpenLink)
        core_.OpenLink(*this, Values().WebsiteUrl);
}

void TForm_Main::Image_ControlPanel_OverClick() {
    if (core_.OpenLink)
        core_.OpenLink(*this, Values().ControlPanelUrl);
}

void TForm_Main::Image_Forum_OverClick() {
    if (core_.OpenLink)
        core_.OpenLink(*this, Values().ForumUrl);
}

void TForm_Main::Image_Exit_OverClick() {
    TerminateApplication();
}

// ---- Timers ----

void TForm_Main::Timer_PatchTimer() {
    Timer_Patch.SetEnabled(false);
    Image_Start_Over->SetEnabled(false);
    host_.AvailabilityChanged(TFocusStop::Start);
    Timer_Standby.SetEnabled(true);
    Label_Standby->SetVisible(true);
    if (core_.UpdateRun) {
        try {
            updating_ = true;
            core_.UpdateRun(*this, Values().PatchListUrl);
            updating_ = false;
        } catch (const std::exception& error) {
            updating_ = false;
            // The error box says what went wrong; once it is closed the window must not go on claiming
            // that the update runs. Start stays without effect: the update did not finish.
            CancelMode();
            host_.ReportError(error);
            Timer_Standby.SetEnabled(false);
            Label_Standby->SetVisible(false);
            AppendLogLine(UpdateNotFinishedLine(error));
            return;
        }
    }
    Timer_Standby.SetEnabled(false);
    Label_Standby->SetVisible(false);
    Image_Start_Over->SetEnabled(true);
    host_.AvailabilityChanged(TFocusStop::Start);
}

void TForm_Main::Timer_StandbyTimer() {
    Label_Standby->SetCaption("Please Wait" +
                              std::string(static_cast<std::size_t>(Timer_Standby.Tag + 1), '.'));
    ++Timer_Standby.Tag;
    if (Timer_Standby.Tag == 3)
        Timer_Standby.Tag = 0;
}

// ---- The context menu ----

bool TForm_Main::CanCheckGameFiles() const {
    return core_.CheckGameFiles && !updating_ && !Timer_Patch.Enabled() && !checking_;
}

std::vector<TMenuEntry> TForm_Main::ContextMenuEntries() const {
    std::vector<TMenuEntry> entries{{kCheckGameFilesMenuText, CanCheckGameFiles()}};
    if (core_.SpeedLimit && core_.SetSpeedLimit) {
        const std::int64_t current = core_.SpeedLimit();
        for (const std::int64_t choice : kSpeedLimitChoices)
            entries.push_back({choice == 0 ? std::string("Unlimited") : FormatRate(choice), true,
                               kSpeedLimitMenuText, choice == current});
    }
    return entries;
}

void TForm_Main::OpenContextMenu(TPoint point) {
    host_.PopupMenu(point, ContextMenuEntries());
}

void TForm_Main::MenuChosen(int index) {
    // What was enabled when the menu opened may not be any more: an update or a check may have begun
    // while it was up.
    if (index == 0) {
        Guarded([this] { CheckGameFilesClick(); });
        return;
    }
    const auto limit = static_cast<std::size_t>(index - 1);
    if (index > 0 && limit < std::size(kSpeedLimitChoices) && core_.SetSpeedLimit)
        Guarded([this, limit] { core_.SetSpeedLimit(*this, kSpeedLimitChoices[limit]); });
}

void TForm_Main::CheckGameFilesClick() {
    if (!CanCheckGameFiles())
        return;
    // Whatever ends the check, the window stops saying that it runs; a Start pressed meanwhile is not
    // carried out after an error.
    struct TCheckState {
        TForm_Main& form;
        ~TCheckState() {
            form.checking_ = false;
            try {
                form.Timer_Standby.SetEnabled(false);
            } catch (...) {
                // A timer that cannot be stopped changes nothing of the outcome.
            }
            form.Label_Standby->SetVisible(false);
        }
    };
    checking_ = true;
    startPending_ = false;
    {
        TCheckState ending{*this};
        Timer_Standby.SetEnabled(true);
        Label_Standby->SetVisible(true);
        core_.CheckGameFiles(*this);
    }
    if (std::exchange(startPending_, false) && !TerminationRequested())
        Image_Start_OverClick();
}

// ---- UiPort ----

void TForm_Main::SetApplicationTitle(const std::string& text) {
    host_.SetApplicationTitle(text);
}

std::string TForm_Main::GetApplicationTitle() const {
    return host_.GetApplicationTitle();
}

void TForm_Main::SetWindowCaption(const std::string& text) {
    caption_ = text;
    host_.SetWindowCaption(text);
}

void TForm_Main::SetServerLabel(const std::string& text) {
    Label_ServerName->SetCaption(text);
}

void TForm_Main::NavigateNews(const std::string& url) {
    host_.NavigateNews(url);
}

void TForm_Main::ArmPatchTimer() {
    Timer_Patch.SetEnabled(true);
}

std::unique_ptr<TMemo> TForm_Main::CreateHiddenTextBuffer() {
    return std::make_unique<TMemo>();
}

void TForm_Main::DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) {
    buffer.reset();
}

void TForm_Main::AppendLogLine(const std::string& text) {
    ProgressBar.Flush(); // a line ends a phase: the bar shows exactly where it ended
    AppendMemoLine(logText_, text);
    host_.AppendLogLine(text);
}

void TForm_Main::ReplaceLastLogLine(const std::string& text) {
    ReplaceLastMemoLine(logText_, text);
    host_.ReplaceLastLogLine(text);
}

void TForm_Main::SetProgressVisible(bool visible) {
    ProgressBar.SetVisible(visible);
}

void TForm_Main::SetProgressPosition(std::int32_t position) {
    ProgressBar.SetPosition(position);
}

void TForm_Main::SetProgressMax(std::int32_t maximum) {
    ProgressBar.SetMax(maximum);
}

void TForm_Main::StepProgress(std::int32_t delta) {
    ProgressBar.StepBy(delta);
}

void TForm_Main::PumpMessages() {
    ProgressBar.ShowDueStep();
    host_.PumpMessages();
}

void TForm_Main::ShowMessageBox(const std::string& text) {
    ProgressBar.Flush();
    host_.ShowMessageBox(text);
}

void TForm_Main::TerminateApplication() {
    host_.TerminateApplication();
}

bool TForm_Main::TerminationRequested() const {
    return host_.TerminationRequested();
}

TZipArchiver& TForm_Main::ZipArchiver() {
    return *zipArchiver_;
}

} // namespace pc
