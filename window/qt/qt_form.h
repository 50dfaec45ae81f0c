// The launcher's window on Qt: a frameless widget that shows the window model TForm_Main, draws its
// pictures and labels, holds the child widgets (log, news view, progress bar) and delivers Qt's events
// to the model.
#pragma once

#include "window/form_host.h"
#include "window/launcher_core.h"
#include "window/layout.h"
#include "window/patch_client.h"
#include "window/qt/controls.h"
#include "window/qt/dialog_provider.h"
#include "window/qt/focus_stops.h"
#include "window/qt/news_view.h"
#include "window/qt/screen_spot.h"

#include <QFont>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QRegion>
#include <QWidget>

#include <array>
#include <map>
#include <memory>
#include <vector>

class QPainter;

namespace pc {

struct TFormOptions {
    TNewsEngine NewsEngine = TNewsEngine::Web;
};

class TQtForm final : public QWidget, private TFormHost {
public:
    // Builds the widgets and the model from the layout, places the window, then runs the start-up
    // handler inside the error boundary. The window is shown by the main loop.
    explicit TQtForm(TLauncherCore core, TFormOptions options = {});
    ~TQtForm() override;

    TForm_Main& Model() { return *model_; }

    // Child widgets (owned by the form as their Qt parent).
    TLogMemo* Memo_Log = nullptr;
    TNewsView* WebBrowser = nullptr;
    TProgressBarView* ProgressBar = nullptr;

    // What a picture or label is drawn with.
    const QImage& PictureOf(const TGraphicControl& control) const;
    const QFont& FontOf(const TGraphicControl& control) const;
    // The pictures and labels as the form paints them, before the key colour is cut out.
    QImage ComposePicture() const;
    // The part of the window that stays: everything but the key-coloured pixels of the composition.
    QRegion VisibleRegion() const { return visibleRegion_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

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

    // The keyboard: Tab, Enter and Space go to the model wherever the window's focus is.
    bool TakeKey(QEvent* event);
    void BuildFocusStops();
    void UpdateFocusStops(); // names and places as the model has them now

    void BuildChildWidgets();
    // The visible pictures and labels that meet the area, in stacking order.
    void PaintControls(QPainter& painter, const QRegion& area) const;
    void UpdateKeyMask();
    // The news view's web engine starts after the window's first frame (it takes longer than the rest).
    void StartNewsEngineSoon();

    TFormOptions options_;
    TScreenSpot screenSpot_; // held while the window is open, so that the next launcher opens elsewhere
    TQtDialogProvider dialogs_;
    // Per layout entry: the pictures and the label fonts.
    std::array<QImage, kMainFormLayout.size()> pictures_;
    std::array<QFont, kMainFormLayout.size()> fonts_;
    std::map<TFormTimer, int> timerIds_; // running system timers
    QRegion keyRegion_;                  // key-coloured pixels of the background picture
    QRegion visibleRegion_;              // the window mask in force
    bool newsEngineAsked_ = false;
    std::vector<TQtFocusStop*> focusStops_; // in the focus order, owned by the form as their Qt parent
    QPointer<QMenu> contextMenu_;           // the context menu while it is up (it deletes itself on closing)
    std::unique_ptr<TForm_Main> model_;
};

} // namespace pc
