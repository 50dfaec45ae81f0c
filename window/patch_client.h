// The launcher's one window, TForm_Main, without a toolkit: its controls as the layout makes them, its
// handlers (hover, clicks, the patch and standby ticks), the pointer routing with its click rules, the
// progress bar's rules and the window operations that the launcher core calls. A front end (window/qt,
// window/win32) shows it and delivers the window system's events to it; see window/form_host.h.
#pragma once

#include "launcher/ui_port.h"
#include "window/focus.h"
#include "window/form_host.h"
#include "window/geometry.h"
#include "window/launcher_core.h"
#include "window/layout.h"

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

class TForm_Main;

// A picture or a label: a control without a window of its own, painted by the form and given the
// pointer by the form's routing.
class TGraphicControl {
public:
    TGraphicControl(TFormHost& host, const TControlLayout& layout);
    TGraphicControl(const TGraphicControl&) = delete;
    TGraphicControl& operator=(const TGraphicControl&) = delete;

    std::string_view Name() const { return layout_.Name; }
    TControlKind Kind() const { return layout_.Kind; }
    const TControlLayout& Layout() const { return layout_; }
    TRect BoundsRect() const { return bounds_; }
    bool Visible() const { return visible_; }
    bool Enabled() const { return enabled_; }
    void SetVisible(bool visible);
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    // Labels: the text shown. Labels that size themselves to their text keep their left and top edges.
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    // Pictures drawn at their natural size take the size of their picture once it is loaded.
    void SetPictureSize(TSize size);

private:
    friend class TForm_Main;
    using THandler = void (TForm_Main::*)();

    void SetBounds(TRect bounds);

    TFormHost& host_;
    const TControlLayout& layout_;
    TRect bounds_;
    bool visible_;
    bool enabled_ = true;
    std::string caption_;
    THandler onMouseMove_ = nullptr;
    THandler onClick_ = nullptr;
};

// A timer component: interval, enabled state and an integer tag. Enabling restarts the system timer.
class TTimer {
public:
    TTimer(TFormHost& host, TFormTimer id, int intervalMs) : host_(host), id_(id), interval_(intervalMs) {}
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    int Interval() const { return interval_; }
    void SetEnabled(bool enabled); // EOutOfResources when the system has no timer left
    int Tag = 0;

private:
    TFormHost& host_;
    TFormTimer id_;
    int interval_;
    bool enabled_ = false;
};

// The progress bar's range and position, 32 bits wide with the minimum kept at 0. A control built for a
// 16-bit range rejects values outside 0 to 65535 the way such controls do.
//
// A download steps the bar after every read of at most 1 KiB, hundreds of thousands of times for a large
// patch. The front end hears of a step only when it changes what the bar shows (the number of blocks),
// and then at most about 30 times a second; a step that fills the bar is shown at once. Every other
// change is shown at once, and Flush brings the front end up to the exact state.
class TProgressBar {
public:
    TProgressBar(TFormHost& host, bool sixteenBitRange) : host_(host), sixteenBit_(sixteenBitRange) {}
    TProgressBar(const TProgressBar&) = delete;
    TProgressBar& operator=(const TProgressBar&) = delete;

    const TProgressState& State() const { return state_; }
    bool Visible() const { return state_.Visible; }
    std::int32_t Min() const { return state_.Min; }
    std::int32_t Max() const { return state_.Max; }
    std::int32_t Position() const { return state_.Position; }

    void SetVisible(bool visible);
    void SetMax(std::int32_t maximum);       // below the minimum: EInvalidOperation, nothing changes
    void SetPosition(std::int32_t position); // kept within the range
    void StepBy(std::int32_t delta);         // stops at the maximum

    // Shows a step held back by the rate limit once its time has come (the pump calls this).
    void ShowDueStep();
    // Tells the front end the exact state if it shows another one.
    void Flush();

private:
    void CheckSixteenBit(std::int64_t value) const;
    void Change(const TProgressState& next);
    bool LooksLikeShown() const; // the front end would draw state_ as it draws shown_
    void Show();

    TFormHost& host_;
    bool sixteenBit_;
    TProgressState state_;
    TProgressState shown_;
    std::int64_t shownAt_ = std::numeric_limits<std::int64_t>::min() / 2; // long ago
};

// The context menu's entry that checks and heals the game's files.
inline constexpr const char* kCheckGameFilesMenuText = "Check game files";
// The context menu's submenu of download speed limits, and its choices (0: unlimited) in bytes per second.
inline constexpr const char* kSpeedLimitMenuText = "Download speed limit";
inline constexpr std::int64_t kSpeedLimitChoices[] = {0, 1000000, 2000000, 5000000, 10000000, 20000000};
// The log line of a Start pressed while the files are checked.
inline constexpr const char* kStartAfterCheckLine = "- The game starts once its files have been checked";

struct TFormModelOptions {
    bool SixteenBitProgress = false; // a progress control that holds only a 16-bit range
};

class TForm_Main final : public UiPort {
public:
    // Builds every picture and label from the layout and both timers; nothing runs yet.
    TForm_Main(TFormHost& host, TLauncherCore core, TFormModelOptions options = {});
    ~TForm_Main() override;
    TForm_Main(const TForm_Main&) = delete;
    TForm_Main& operator=(const TForm_Main&) = delete;

    // Runs the start-up handler inside the error boundary, once the front end's widgets exist.
    void Create();

    // ---- Events from the front end (client coordinates) ----
    void MouseMove(TPoint point);
    void MouseDown(TMouseButton button, TPoint point);
    void MouseDoubleClick(TMouseButton button, TPoint point); // the second press of a double click
    void MouseUp(TMouseButton button, TPoint point);
    void TimerTick(TFormTimer timer);
    void Shown();   // the window has been shown (only the first time counts)
    void Painted(); // a painting of the window has finished
    void CloseRequested();
    void CancelMode();          // an error report or the window system took the pointer capture away
    void MenuChosen(int index); // an entry of the context menu was chosen (by its index)
    void NewsLinkOut(const std::string& url); // the news view hands a page to the player's browser

    // ---- The keyboard and screen readers (window/focus.h) ----
    // A key pressed while the window has the keyboard; true when the window took it. A held Enter or Space
    // presses once, not at every repeat.
    bool KeyDown(TKey key, bool shift, bool autoRepeat = false);
    std::optional<TFocusStop> Focused() const { return focus_; }
    void FocusStop(TFocusStop stop); // a screen reader or the front end puts the focus there
    void PressStop(TFocusStop stop); // what Enter and Space do, and a screen reader's press
    std::vector<TAccessibleItem> AccessibleItems() const;
    // Where the focus is drawn as a dotted frame: around the server's name or the news view. Empty while
    // no part or a button has the focus, which shows it with its highlighted face.
    TRect FocusFrame() const;

    // ---- Controls, by their layout names ----
    TGraphicControl* Image_Background = nullptr;
    TGraphicControl* Image_Back = nullptr;
    TGraphicControl* Image_Start = nullptr;
    TGraphicControl* Image_Start_Over = nullptr;
    TGraphicControl* Image_WebSite = nullptr;
    TGraphicControl* Image_WebSite_Over = nullptr;
    TGraphicControl* Image_ControlPanel = nullptr;
    TGraphicControl* Image_ControlPanel_Over = nullptr;
    TGraphicControl* Image_Forum = nullptr;
    TGraphicControl* Image_Forum_Over = nullptr;
    TGraphicControl* Image_Exit = nullptr;
    TGraphicControl* Image_Exit_Over = nullptr;
    TGraphicControl* Label_Standby = nullptr;
    TGraphicControl* Label_Start = nullptr;
    TGraphicControl* Label_WebSite = nullptr;
    TGraphicControl* Label_ControlPanel = nullptr;
    TGraphicControl* Label_Forum = nullptr;
    TGraphicControl* Label_Exit = nullptr;
    TGraphicControl* Label_advertisement = nullptr;
    TGraphicControl* Label_ServerName = nullptr;
    TTimer Timer_Patch;
    TTimer Timer_Standby;
    TProgressBar ProgressBar;

    // Pictures and labels in stacking order, bottom first.
    const std::vector<std::unique_ptr<TGraphicControl>>& GraphicControls() const { return graphics_; }
    TGraphicControl* FindControl(std::string_view name) const;
    // The topmost visible and enabled picture or label under a point, or none.
    TGraphicControl* ControlAt(TPoint point) const;
    // Whether a visible child window (log, news view, progress bar) covers the point.
    bool ChildWindowAt(TPoint point) const;
    const std::string& Caption() const { return caption_; }
    // The log's text as its edit control holds it: every line ends with CR LF.
    const std::string& LogText() const { return logText_; }
    bool FirstPaintDone() const { return firstPaintDone_; }
    // The control a held press keeps the pointer on, or none.
    const TGraphicControl* PointerCapture() const { return capture_; }
    // The context menu's entries as they stand now. Checking the game's files is possible once the
    // update has run, and not while it or another check runs.
    std::vector<TMenuEntry> ContextMenuEntries() const;
    bool CheckingGameFiles() const { return checking_; }

    // ---- Handlers ----
    void FormMouseMove();
    void Image_BackMouseMove();
    void Image_StartMouseMove();
    void Image_WebSiteMouseMove();
    void Image_ControlPanelMouseMove();
    void Image_ForumMouseMove();
    void Image_ExitMouseMove();
    void Image_Start_OverClick();
    void Image_WebSite_OverClick();
    void Image_ControlPanel_OverClick();
    void Image_Forum_OverClick();
    void Image_Exit_OverClick();
    void Timer_PatchTimer();
    void Timer_StandbyTimer();
    void CheckGameFilesClick();

    // ---- UiPort ----
    void SetApplicationTitle(const std::string& text) override;
    std::string GetApplicationTitle() const override;
    void SetWindowCaption(const std::string& text) override;
    void SetServerLabel(const std::string& text) override;
    void NavigateNews(const std::string& url) override;
    void ArmPatchTimer() override;
    std::unique_ptr<TMemo> CreateHiddenTextBuffer() override;
    void DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) override;
    void AppendLogLine(const std::string& text) override;
    void ReplaceLastLogLine(const std::string& text) override;
    void SetProgressVisible(bool visible) override;
    void SetProgressPosition(std::int32_t position) override;
    void SetProgressMax(std::int32_t maximum) override;
    void StepProgress(std::int32_t delta) override;
    void PumpMessages() override;
    void ShowMessageBox(const std::string& text) override;
    void TerminateApplication() override;
    bool TerminationRequested() const override;
    TZipArchiver& ZipArchiver() override;

private:
    struct TButton {
        TGraphicControl* Face;
        TGraphicControl* Over;
        TGraphicControl* Caption;
    };
    enum TButtonIndex { bStart, bWebSite, bControlPanel, bForum, bExit };

    TGraphicControl* Named(std::string_view name) const;
    void Highlight(TButtonIndex button);
    std::string HighlightCaption(TButtonIndex button) const;
    void MoveFocus(std::optional<TFocusStop> stop);
    TLauncherValues Values() const;
    template <class F> void Guarded(F&& handler) noexcept;
    void GuardedCall(const std::function<void()>& handler) noexcept; // Guarded, for other files
    void Abandoned() noexcept; // what escaped a handler: the pointer is let go, the bar shown as it is
    void ReleaseCapture();
    void OpenContextMenu(TPoint point);
    bool CanCheckGameFiles() const;

    TFormHost& host_;
    TLauncherCore core_;
    std::unique_ptr<TZipArchiver> zipArchiver_; // the window's archive component, with its settings
    std::vector<std::unique_ptr<TGraphicControl>> graphics_;
    std::array<TButton, 5> buttons_{};
    std::string caption_;
    std::string logText_;
    TGraphicControl* capture_ = nullptr;
    bool clickPending_ = false;
    bool firstPaintDone_ = false;
    bool updating_ = false;           // the update run is on its way
    bool checking_ = false;           // the game's files are being checked
    bool startPending_ = false;       // Start was pressed during the check: the game starts after it
    std::int64_t shownAt_ = -1;       // the clock when the window was first shown
    std::optional<TFocusStop> focus_; // none until the keyboard or a screen reader moves it
};

} // namespace pc
