// The launcher's window on Win32: a borderless layered popup that shows the window model TForm_Main,
// draws its pictures and labels into a bitmap of its own, holds the child windows (log, news view,
// progress bar) and delivers the window system's messages to the model.
#pragma once

#include "window/form_host.h"
#include "window/launcher_core.h"
#include "window/layout.h"
#include "window/patch_client.h"
#include "window/win32/controls.h"
#include "window/win32/dialog_provider.h"
#include "window/win32/form_accessible.h"
#include "window/win32/news_view.h"
#include "window/win32/pictures.h"
#include "window/win32/popup_menu.h"
#include "window/win32/screen_spot.h"
#include "window/win32/win32_window.h"

#include <array>
#include <map>
#include <memory>

namespace pc {

struct TFormOptions {
    bool AllowBrowserControl = true; // false: the news view's fallback from the start
};

class TWin32Form final : private TFormHost {
public:
    // Builds the windows and the model from the layout, places the window, then runs the start-up
    // handler inside the error boundary. The window is shown by the main loop.
    explicit TWin32Form(TLauncherCore core, TFormOptions options = {});
    ~TWin32Form() override;
    TWin32Form(const TWin32Form&) = delete;
    TWin32Form& operator=(const TWin32Form&) = delete;

    HWND Handle() const { return window_.Get(); }

private:
    // TFormHost
    void Invalidate(TRect area) override;
    TSize MeasureLabel(const TControlLayout& label, const std::string& caption) override;
    void SetWindowCaption(const std::string& text) override;
    void AppendLogLine(const std::string& text) override;
    void ReplaceLastLogLine(const std::string& text) override;
    void ProgressChanged(const TProgressState& state) override;
    void NavigateNews(const std::string& url) override;
    bool StartTimer(TFormTimer timer, int intervalMs) override;
    void StopTimer(TFormTimer timer) override;
    void SetPointerCapture(bool captured) override;
    void SetApplicationTitle(const std::string& text) override;
    std::string GetApplicationTitle() const override;
    void PumpMessages() override;
    void ShowMessageBox(const std::string& text) override;
    void TerminateApplication() override;
    bool TerminationRequested() const override;
    void ReportError(const std::exception& error) noexcept override;
    TZADialogProvider* ArchiveDialogs() override;
    void PopupMenu(TPoint at, const std::vector<TMenuEntry>& entries) override;
    void FocusMoved(TFocusStop stop) override;
    void AvailabilityChanged(TFocusStop stop) override;

    bool KeyDown(WPARAM key, LPARAM flags); // Tab, Enter and Space go to the model
    void DrawFocusFrame(TRect frame);
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void MakeCanvas();
    void BuildChildWindows();
    void ApplyColourKey();
    void Compose(const RECT& area);
    void DrawPicture(const TGraphicControl& control);
    void DrawLabel(const TGraphicControl& control);
    HBRUSH LogColours(HDC dc);
    void ShowLastLogLine();

    TFormOptions options_;
    TScreenSpot screenSpot_; // held while the window is open, so that the next launcher opens elsewhere
    win32::UniqueWindow window_;
    TWin32DialogProvider dialogs_;
    // Per layout entry: the pictures and the label fonts.
    std::array<TPixels, kMainFormLayout.size()> pictures_;
    std::array<win32::UniqueGdi<HFONT>, kMainFormLayout.size()> fonts_;
    // The composition the window is painted from: a 32-bit bitmap as large as the window.
    win32::UniqueGdi<HBITMAP> canvas_;
    std::uint32_t* canvasBits_ = nullptr;
    win32::UniqueMemoryDc canvasDc_; // after the bitmap: it lets go of it first
    win32::UniqueWindow memo_;
    win32::UniqueGdi<HFONT> memoFont_;
    win32::UniqueGdi<HBRUSH> memoBrush_;
    std::unique_ptr<TNewsView> news_;
    std::unique_ptr<TProgressBarWindow> progress_;
    std::map<TFormTimer, std::unique_ptr<TSystemTimer>> timers_;
    bool shown_ = false;
    std::unique_ptr<TForm_Main> model_;
    std::unique_ptr<TPopupMenu> menu_;          // the context menu while it may be up
    win32::ComPtr<TFormAccessible> accessible_; // what screen readers get of the client area
};

} // namespace pc
