// What the window model (TForm_Main, window/patch_client.h) needs from the toolkit that shows it, and the
// events it takes in return. The model knows the layout, the hover/click/timer behaviour, the progress
// bar's rules and the state around the update run; a front end only makes widgets, draws and delivers.
//
// How a front end uses the model:
//   1. Make the window (564 x 408, no frame, the key colour) and its fonts; then construct
//      TForm_Main(host, core), with itself (or a helper) as the TFormHost. The model sizes its labels
//      through MeasureLabel while it is constructed, so the fonts must be ready by then.
//   2. For each entry of kMainFormLayout make what the toolkit needs: load the pictures (and tell the
//      model a natural-size picture's size with SetPictureSize), make the child windows Memo_Log,
//      WebBrowser and ProgressBar in their boxes. Place the window with MainFormPlacement.
//   3. Call Create(): it runs the start-up handler inside the error boundary. Then run the main loop.
//   4. Deliver, in client coordinates: every pointer move (MouseMove), left/right/middle presses, second
//      presses of a double click and releases (MouseDown, MouseDoubleClick, MouseUp; the right button's
//      release opens the context menu through PopupMenu, whose choice comes back as MenuChosen), timer ticks
//      (TimerTick), the first showing (Shown), each finished painting (Painted), a close request from the
//      desktop (CloseRequested) and any cancelled pointer capture (CancelMode). Pointer events over child
//      windows may be delivered or not: the model passes them over while no press is held.
//   5. Paint: draw GraphicControls() in their order, the visible ones only, each in its Bounds(); labels
//      show Caption() in their layout font (one line, tabs expanded, '&' marks an underline). Child
//      windows draw themselves: the log from AppendLogLine and ReplaceLastLogLine, the bar from
//      ProgressChanged.
// Every event entry point catches what escapes a handler and hands it to ReportError, after cancelling
// the pointer capture, so the program goes on with the next event. Everything runs on the window thread;
// handlers may pump messages (the update run does), so events arrive nested inside other events.
#pragma once

#include "window/focus.h"
#include "window/geometry.h"
#include "window/layout.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace pc {

class TZADialogProvider;

// The window's two timer components.
enum class TFormTimer { Patch, Standby };

// Which mouse button a press or release is of; only the left one makes clicks.
enum class TMouseButton { Left, Right, Middle, Other };

// The progress bar as the model holds it: range, position and visibility.
struct TProgressState {
    bool Visible = false;
    std::int32_t Min = 0;
    std::int32_t Max = 100;
    std::int32_t Position = 0;
    friend bool operator==(const TProgressState&, const TProgressState&) = default;
};

// How both front ends draw the bar: a frame this many pixels wide around its inside, where separate
// blocks, two thirds of the inside's height wide and two pixels apart, fill it from the left. Every block
// that the filled part reaches is drawn whole (cut at the end of the bar), so the bar looks different
// only when the number of blocks changes.
inline constexpr int kProgressFrame = 2;

struct TProgressBlocks {
    int Count;
    int Width; // of one block
    int Pitch; // from one block's left edge to the next one's
};

inline TProgressBlocks ProgressBlocksOf(const TProgressState& state, TSize inside) {
    const int width = std::max(2, inside.Height * 2 / 3);
    const int pitch = width + 2;
    const std::int64_t span = static_cast<std::int64_t>(state.Max) - state.Min;
    if (span <= 0 || inside.Width <= 0)
        return {0, width, pitch};
    const auto filled = (static_cast<std::int64_t>(state.Position) - state.Min) * inside.Width / span;
    return {static_cast<int>((filled + pitch - 1) / pitch), width, pitch};
}

// One entry of the window's context menu.
struct TMenuEntry {
    std::string Text;
    bool Enabled = true;
    // Entries with the same submenu name stand together in a submenu of that name, where the first of
    // them stands; empty for an entry of the menu itself. Indexes count every entry alike.
    std::string Submenu = {};
    bool Checked = false;
    friend bool operator==(const TMenuEntry&, const TMenuEntry&) = default;
};

class TFormHost {
public:
    virtual ~TFormHost() = default;

    // ---- Drawing ----
    // Paint this part of the client area again (soon, from the toolkit's paint request).
    virtual void Invalidate(TRect area) = 0;
    // The size of a caption in the label's font: one line, tabs expanded, "&&" shown as one '&' and
    // another '&' taken as the underline marker. The height is the font's line height.
    virtual TSize MeasureLabel(const TControlLayout& label, const std::string& caption) = 0;
    virtual void SetWindowCaption(const std::string& text) = 0;

    // ---- Child windows ----
    virtual void AppendLogLine(const std::string& text) = 0; // add as the last line, keep the end in view
    virtual void ReplaceLastLogLine(const std::string& text) = 0; // write over the last line, keep it in view
    virtual void ProgressChanged(const TProgressState& state) = 0;
    // Start loading the news page and return at once; a URL the view rejects raises EOleException.
    virtual void NavigateNews(const std::string& url) = 0;

    // ---- Timers ----
    // Start the system timer of a timer component at the interval (restarting it if it runs); false when
    // the system has no timer left. Ticks come back through TimerTick.
    virtual bool StartTimer(TFormTimer timer, int intervalMs) = 0;
    virtual void StopTimer(TFormTimer timer) = 0;

    // ---- Pointer ----
    // Keep (or stop keeping) the pointer's events for the window while a press is held on a control,
    // wherever the pointer goes. Toolkits that grab on a press by themselves may do nothing.
    virtual void SetPointerCapture(bool captured) = 0;

    // ---- Context menu ----
    // Shows a context menu with these entries at a point of the client area and returns at once: an
    // update that pumps messages goes on while the menu is up. The entry chosen, if any, comes back later
    // through MenuChosen; a menu still up replaces the one before.
    virtual void PopupMenu(TPoint at, const std::vector<TMenuEntry>& entries) = 0;

    // ---- Keyboard ----
    // The focus moved to this part: a front end tells the screen reader (the model redraws the focus).
    virtual void FocusMoved(TFocusStop) {}
    // The part became available or unavailable (Start while the update runs): a front end tells the screen
    // reader.
    virtual void AvailabilityChanged(TFocusStop) {}

    // ---- Application services ----
    virtual void SetApplicationTitle(const std::string& text) = 0;
    virtual std::string GetApplicationTitle() const = 0;
    virtual void PumpMessages() = 0; // handle every waiting message, never wait
    virtual void ShowMessageBox(const std::string& text) = 0;
    virtual void TerminateApplication() = 0; // request the end; the main loop ends when it next gets control
    virtual bool TerminationRequested() const = 0;
    // The central report of an error that escaped a handler: the error box (nothing for EAbort).
    virtual void ReportError(const std::exception& error) noexcept = 0;
    // The archive component's modal dialogs in this toolkit.
    virtual TZADialogProvider* ArchiveDialogs() = 0;

    // A monotonic clock in milliseconds; tests replace it.
    virtual std::int64_t Milliseconds() const {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

} // namespace pc
