// The launcher's one window on Win32, TForm_Main: a borderless layered popup whose pictures and labels it
// draws itself, with the log, the news view and the progress bar as child windows. It only creates,
// draws and delivers events; what the window does is the shared window model's.
#pragma once

#include "launcher/ui_port.h"
#include "window/launcher_core.h"
#include "window/win32/controls.h"
#include "window/win32/dialog_provider.h"
#include "window/win32/news_view.h"
#include "window/win32/pictures.h"
#include "window/win32/win32_window.h"

#include <memory>
#include <string>
#include <vector>

namespace pc {

struct TFormOptions {
    bool AllowBrowserControl = true; // false: the news view's fallback from the start
};

class TForm_Main final : public UiPort {
public:
    // Builds every control and timer from the layout, places the window, then runs the start-up handler
    // inside the error boundary. The window is shown by the main loop.
    explicit TForm_Main(TLauncherCore core, TFormOptions options = {});
    ~TForm_Main() override;
    TForm_Main(const TForm_Main&) = delete;
    TForm_Main& operator=(const TForm_Main&) = delete;

    HWND Handle() const { return window_.Get(); }

    // UiPort.
    void SetApplicationTitle(const std::string& text) override;
    std::string GetApplicationTitle() const override;
    void SetWindowCaption(const std::string& text) override;
    void SetServerLabel(const std::string& text) override;
    void NavigateNews(const std::string& url) override;
    void ArmPatchTimer() override;
    std::unique_ptr<TMemo> CreateHiddenTextBuffer() override;
    void DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) override;
    void AppendLogLine(const std::string& text) override;
    void SetProgressVisible(bool visible) override;
    void SetProgressPosition(std::int32_t position) override;
    void SetProgressMax(std::int32_t maximum) override;
    void StepProgress(std::int32_t delta) override;
    void PumpMessages() override;
    void ShowMessageBox(const std::string& text) override;
    void TerminateApplication() override;
    bool TerminationRequested() const override;
    TZipArchiver& ZipArchiver() override;

    // Whether the desktop gave the window its colour key.
    bool ColourKeyed() const { return colourKeyed_; }

private:
    struct TGraphic;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void BuildControls();
    void ApplyColourKey();
    void Paint(HDC dc, const RECT& area);
    void Compose(const RECT& area);
    void DrawGraphic(const TGraphic& graphic);
    HBRUSH LogColours(HDC dc);
    TGraphic& Find(std::string_view name) const;
    TGraphic* ControlAt(POINT point) const;
    void SetVisible(TGraphic& graphic, bool visible);
    void SetCaption(TGraphic& graphic, const std::wstring& text);
    void Invalidate(const RECT& box);
    void PointerMove(POINT point);
    void PointerDown(POINT point, bool secondOfDouble);
    void PointerUp(POINT point);
    void Highlight(int button);
    void ClearHighlights();
    void Click(const TGraphic& over);
    void PatchTick();
    void StandbyTick();
    TLauncherValues Values() const;

    TLauncherCore core_;
    TFormOptions options_;
    win32::UniqueWindow window_;
    std::vector<std::unique_ptr<TGraphic>> graphics_;
    // The composition the window is painted from: a 32-bit bitmap as large as the window.
    win32::UniqueGdi<HBITMAP> canvas_;
    std::uint32_t* canvasBits_ = nullptr;
    HDC canvasDc_ = nullptr;
    HGDIOBJ canvasOld_ = nullptr;
    win32::UniqueWindow memo_;
    win32::UniqueGdi<HFONT> memoFont_;
    win32::UniqueGdi<HBRUSH> memoBrush_;
    std::unique_ptr<TNewsView> news_;
    std::unique_ptr<TProgressBarWindow> progress_;
    TSystemTimer timerPatch_;
    TSystemTimer timerStandby_;
    TWin32DialogProvider dialogs_;
    std::unique_ptr<TZipArchiver> zipArchiver_;
    bool colourKeyed_ = false;
    TGraphic* capture_ = nullptr;
    bool clickPending_ = false;
    bool firstPaintDone_ = false;
    ULONGLONG shownAt_ = 0;
    int standbyTag_ = 0;
    std::int32_t progressMax_ = 100;
    std::int32_t progressPosition_ = 0;
};

} // namespace pc
