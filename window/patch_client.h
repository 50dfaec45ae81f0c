// The launcher's one window, TForm_Main: its controls, its handlers and the window operations that the
// launcher core calls.
#pragma once

#include "launcher/ui_port.h"
#include "window/controls.h"
#include "window/dialog_provider.h"
#include "window/graphic_controls.h"
#include "window/launcher_core.h"
#include "window/news_view.h"

#include <QElapsedTimer>
#include <QRegion>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

namespace pc {

struct TFormOptions {
    TNewsEngine NewsEngine = TNewsEngine::Web;
};

class TForm_Main final : public QWidget, public UiPort {
public:
    // Builds every control and timer from the layout, places the window, then runs the start-up handler
    // inside the error boundary. The window is shown by the main loop.
    explicit TForm_Main(TLauncherCore core, TFormOptions options = {});
    ~TForm_Main() override;

    // Pictures and labels, by their layout names (owned by the form).
    TImage* Image_Background = nullptr;
    TImage* Image_Back = nullptr;
    TImage* Image_Start = nullptr;
    TImage* Image_Start_Over = nullptr;
    TImage* Image_WebSite = nullptr;
    TImage* Image_WebSite_Over = nullptr;
    TImage* Image_ControlPanel = nullptr;
    TImage* Image_ControlPanel_Over = nullptr;
    TImage* Image_Forum = nullptr;
    TImage* Image_Forum_Over = nullptr;
    TImage* Image_Exit = nullptr;
    TImage* Image_Exit_Over = nullptr;
    TLabel* Label_Standby = nullptr;
    TLabel* Label_Start = nullptr;
    TLabel* Label_WebSite = nullptr;
    TLabel* Label_ControlPanel = nullptr;
    TLabel* Label_Forum = nullptr;
    TLabel* Label_Exit = nullptr;
    TLabel* Label_advertisement = nullptr;
    TLabel* Label_ServerName = nullptr;
    // Child widgets (owned by the form as their Qt parent).
    TLogMemo* Memo_Log = nullptr;
    TNewsView* WebBrowser = nullptr;
    TProgressBar* ProgressBar = nullptr;
    TTimer Timer_Patch;
    TTimer Timer_Standby;

    // Handlers.
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

    // The topmost visible and enabled picture or label under a point, or none.
    TGraphicControl* ControlAt(QPoint point) const;
    TGraphicControl* FindControl(std::string_view name) const;
    const std::vector<std::unique_ptr<TGraphicControl>>& GraphicControls() const { return graphics_; }
    // The pictures and labels as the form paints them, before the key colour is cut out.
    QImage ComposePicture() const;
    // The part of the window that stays: everything but the key-coloured pixels of the composition.
    QRegion VisibleRegion() const { return visibleRegion_; }
    bool FirstPaintDone() const { return firstPaintDone_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct TButton {
        TImage* Face;
        TImage* Over;
        TLabel* Caption;
    };
    enum TButtonIndex { bStart, bWebSite, bControlPanel, bForum, bExit };

    void BuildControls();
    void WireHandlers();
    void Highlight(TButtonIndex button);
    TLauncherValues Values() const;
    void GraphicChanged(QRect area);
    void UpdateKeyMask();

    TLauncherCore core_;
    TFormOptions options_;
    TQtDialogProvider dialogs_;
    std::unique_ptr<TZipArchiver> zipArchiver_; // the window's archive component, with its settings
    std::vector<std::unique_ptr<TGraphicControl>> graphics_;
    std::array<TButton, 5> buttons_{};
    QRegion keyRegion_;     // key-coloured pixels of the background picture
    QRegion visibleRegion_; // the window mask in force
    TGraphicControl* capture_ = nullptr;
    bool clickPending_ = false;
    bool firstPaintDone_ = false;
    QElapsedTimer shownFor_; // since the window was first shown
};

} // namespace pc
