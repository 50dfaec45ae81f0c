#include "window/qt/qt_form.h"

#include "window/qt/application.h"
#include "window/qt/drawing.h"
#include "window/qt/pictures.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

namespace pc {

namespace {

std::size_t LayoutIndex(const TControlLayout& entry) {
    return static_cast<std::size_t>(&entry - kMainFormLayout.data());
}

TMouseButton ButtonOf(const QMouseEvent& event) {
    switch (event.button()) {
    case Qt::LeftButton:
        return TMouseButton::Left;
    case Qt::RightButton:
        return TMouseButton::Right;
    case Qt::MiddleButton:
        return TMouseButton::Middle;
    default:
        return TMouseButton::Other;
    }
}

// How long the news waits for the window's first painting at most.
constexpr int kNewsWithoutPaintMs = 1000;

TPoint PositionOf(const QMouseEvent& event) {
    return FromQPoint(event.position().toPoint());
}

} // namespace

TQtForm::TQtForm(TLauncherCore core, TFormOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), options_(options) {
    InstallFontSubstitutes();
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedSize(kFormWidth, kFormHeight);
    setWindowTitle(ToDisplayText(std::string(kFormCaption)));
    setFont(MakeFont(kDefaultFont));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, ToQColor(RoleColour(TColourRole::WindowText)));
    setPalette(colours);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus); // the keyboard reaches the window when it is active
    const QIcon icon(QStringLiteral(":/assets/patch_client.ico"));
    if (!icon.isNull())
        setWindowIcon(icon);

    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Kind == TControlKind::Picture)
            RunGuarded([&] { pictures_[LayoutIndex(entry)] = LoadPicture(entry.Asset); });
    // The key-coloured pixels of the background give the window its outline.
    const QImage background =
        pictures_[LayoutIndex(LayoutOf("Image_Background"))].convertToFormat(QImage::Format_RGB32);
    if (!background.isNull())
        keyRegion_ =
            QRegion(QBitmap::fromImage(background.createMaskFromColor(kKeyColour, Qt::MaskOutColor)));
    for (const TControlLayout& entry : kMainFormLayout) {
        QFont font = MakeFont(entry.Font);
        // Letters over the key colour are drawn without smoothing, so no key-coloured fringe remains.
        if (entry.Kind == TControlKind::Label &&
            keyRegion_.intersects(QRect(entry.Left, entry.Top, entry.Width, entry.Height)))
            font.setStyleStrategy(QFont::NoAntialias);
        fonts_[LayoutIndex(entry)] = font;
    }

    model_ = std::make_unique<TForm_Main>(static_cast<TFormHost&>(*this), std::move(core));
    for (const auto& control : model_->GraphicControls())
        if (control->Kind() == TControlKind::Picture) {
            const QImage& picture = PictureOf(*control);
            control->SetPictureSize({picture.width(), picture.height()});
        }
    BuildFocusStops();
    BuildChildWidgets();
    UpdateKeyMask();

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize desktop = screen->virtualSize();
        move(ToQPoint(MainFormPlacement({desktop.width(), desktop.height()}, screenSpot_.Index())));
    }
    model_->Create();
    UpdateFocusStops(); // the start-up handler has named the server
}

TQtForm::~TQtForm() = default;

void TQtForm::BuildFocusStops() {
    // Made before the child windows, so that they lie below the log and the news view.
    for (const TFocusStop stop : kFocusOrder) {
        auto widget = std::make_unique<TQtFocusStop>(this, stop);
        widget->installEventFilter(this);
        connect(widget.get(), &QAbstractButton::clicked, this, [this, stop] { model_->PressStop(stop); });
        focusStops_.push_back(widget.release());
    }
    UpdateFocusStops();
}

void TQtForm::UpdateFocusStops() {
    const std::vector<TAccessibleItem> items = model_->AccessibleItems();
    for (std::size_t i = 0; i < items.size() && i < focusStops_.size(); ++i)
        focusStops_[i]->SetItem(items[i]);
}

void TQtForm::FocusMoved(TFocusStop stop) {
    UpdateFocusStops();
    for (TQtFocusStop* widget : focusStops_)
        if (widget->Stop() == stop && !widget->hasFocus())
            widget->setFocus(Qt::TabFocusReason); // the screen reader announces the part
}

void TQtForm::AvailabilityChanged(TFocusStop) {
    UpdateFocusStops();
}

bool TQtForm::TakeKey(QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers().testAnyFlags(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    TKey mapped = TKey::Other;
    switch (key->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        mapped = TKey::Tab;
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        mapped = TKey::Enter;
        break;
    case Qt::Key_Space:
        mapped = TKey::Space;
        break;
    default:
        return false;
    }
    if (event->type() == QEvent::KeyRelease)
        return model_->Focused().has_value(); // a button's own press on release never happens
    const bool back = key->key() == Qt::Key_Backtab || key->modifiers().testFlag(Qt::ShiftModifier);
    return model_->KeyDown(mapped, back, key->isAutoRepeat());
}

bool TQtForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
        if (TakeKey(event))
            return true;
    return QWidget::eventFilter(watched, event);
}

void TQtForm::BuildChildWidgets() {
    for (const TControlLayout& entry : kMainFormLayout) {
        const QRect box(entry.Left, entry.Top, entry.Width, entry.Height);
        switch (entry.Kind) {
        case TControlKind::Picture:
        case TControlKind::Label:
            break;
        case TControlKind::Memo: {
            auto memo = std::make_unique<TLogMemo>(this);
            memo->setGeometry(box);
            memo->setFont(fonts_[LayoutIndex(entry)]);
            QPalette colours = memo->palette();
            colours.setColor(QPalette::Base, ToQColor(kLogBackground));
            colours.setColor(QPalette::Text, ToQColor(RoleColour(entry.Colour)));
            memo->setPalette(colours);
            // Right-to-left only where the desktop's language is written that way.
            if (QLocale::system().textDirection() == Qt::RightToLeft)
                memo->setLayoutDirection(Qt::RightToLeft);
            memo->setVisible(entry.Visible);
            memo->setAccessibleName(QString::fromLatin1(kLogAccessibleName)); // read as text
            Memo_Log = memo.release();
            break;
        }
        case TControlKind::WebView: {
            auto view = std::make_unique<TNewsView>(
                this, options_.NewsEngine, [this](const std::string& url) { model_->NewsLinkOut(url); });
            view->setGeometry(box);
            view->setVisible(entry.Visible);
            WebBrowser = view.release();
            break;
        }
        case TControlKind::ProgressBar: {
            auto bar = std::make_unique<TProgressBarView>(this);
            bar->setGeometry(box);
            bar->SetState(model_->ProgressBar.State());
            ProgressBar = bar.release();
            break;
        }
        }
    }
}

const QImage& TQtForm::PictureOf(const TGraphicControl& control) const {
    return pictures_[LayoutIndex(control.Layout())];
}

const QFont& TQtForm::FontOf(const TGraphicControl& control) const {
    return fonts_[LayoutIndex(control.Layout())];
}

// ---- Painting and the key colour ----

void TQtForm::PaintControls(QPainter& painter, const QRegion& area) const {
    for (const auto& control : model_->GraphicControls()) {
        const QRect box = ToQRect(control->BoundsRect());
        if (!control->Visible() || !area.intersects(box))
            continue;
        const TControlLayout& entry = control->Layout();
        if (control->Kind() == TControlKind::Picture)
            PaintPicture(painter, PictureOf(*control), box, entry.Drawing);
        else
            PaintLabel(painter, ToDisplayText(control->Caption()), box, FontOf(*control),
                       ToQColor(RoleColour(entry.Colour)), entry.CentreText);
    }
    if (const TRect frame = model_->FocusFrame(); !frame.Empty())
        PaintFocusFrame(painter, ToQRect(frame));
}

QImage TQtForm::ComposePicture() const {
    QImage picture(kFormWidth, kFormHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    PaintControls(painter, QRegion(rect()));
    return picture;
}

void TQtForm::UpdateKeyMask() {
    if (keyRegion_.isEmpty() || !model_)
        return; // no key-coloured art: a plain rectangle
    const QImage picture = ComposePicture();
    visibleRegion_ = QRegion(QBitmap::fromImage(picture.createMaskFromColor(kKeyColour, Qt::MaskInColor)));
    setMask(visibleRegion_);
}

void TQtForm::paintEvent(QPaintEvent* event) {
    RunGuarded([&] {
        QPainter painter(this);
        painter.setClipRegion(event->region());
        PaintControls(painter, event->region());
    });
    model_->Painted();
    StartNewsEngineSoon(); // once this frame is on the screen
}

void TQtForm::StartNewsEngineSoon() {
    if (newsEngineAsked_)
        return;
    newsEngineAsked_ = true;
    QTimer::singleShot(0, this, [this] { WebBrowser->StartEngine(); });
}

// ---- Events ----

void TQtForm::mouseMoveEvent(QMouseEvent* event) {
    model_->MouseMove(PositionOf(*event));
}

void TQtForm::mousePressEvent(QMouseEvent* event) {
    model_->MouseDown(ButtonOf(*event), PositionOf(*event));
}

void TQtForm::mouseDoubleClickEvent(QMouseEvent* event) {
    model_->MouseDoubleClick(ButtonOf(*event), PositionOf(*event));
}

void TQtForm::mouseReleaseEvent(QMouseEvent* event) {
    model_->MouseUp(ButtonOf(*event), PositionOf(*event));
}

void TQtForm::closeEvent(QCloseEvent* event) {
    event->ignore();
    model_->CloseRequested();
}

void TQtForm::showEvent(QShowEvent* event) {
    model_->Shown();
    // A desktop that never asks for the first painting (a window kept off screen) gets its news anyway.
    QTimer::singleShot(kNewsWithoutPaintMs, this, [this] { StartNewsEngineSoon(); });
    QWidget::showEvent(event);
}

void TQtForm::timerEvent(QTimerEvent* event) {
    for (const auto& [timer, id] : timerIds_)
        if (id == event->timerId()) {
            // Copied first: the tick may stop and start timers, which changes the map.
            const TFormTimer ticked = timer;
            model_->TimerTick(ticked);
            return;
        }
    QWidget::timerEvent(event);
}

bool TQtForm::event(QEvent* event) {
    if (TakeKey(event))
        return true;
    if (event->type() == CancelModeEventType()) {
        if (model_)
            model_->CancelMode();
        return true;
    }
    return QWidget::event(event);
}

// ---- TFormHost ----

void TQtForm::Invalidate(TRect area) {
    const QRect box = ToQRect(area);
    update(box);
    // Only what is drawn over the key colour changes the window's outline.
    if (keyRegion_.intersects(box))
        UpdateKeyMask();
}

TSize TQtForm::MeasureLabel(const TControlLayout& label, const std::string& caption) {
    const QFontMetrics fm(fonts_[LayoutIndex(label)]);
    const QRect text = fm.boundingRect(QRect(0, 0, 0, 0), LabelTextFlags(), ToDisplayText(caption));
    return {text.width(), fm.height()};
}

void TQtForm::SetWindowCaption(const std::string& text) {
    setWindowTitle(ToDisplayText(text));
}

void TQtForm::AppendLogLine(const std::string& text) {
    Memo_Log->AppendLine(ToDisplayText(text));
}

void TQtForm::ReplaceLastLogLine(const std::string& text) {
    Memo_Log->ReplaceLastLine(ToDisplayText(text));
}

void TQtForm::ProgressChanged(const TProgressState& state) {
    if (ProgressBar)
        ProgressBar->SetState(state);
}

void TQtForm::NavigateNews(const std::string& url) {
    WebBrowser->Navigate(ToDisplayText(url));
}

bool TQtForm::StartTimer(TFormTimer timer, int intervalMs) {
    StopTimer(timer);
    const int id = startTimer(intervalMs, Qt::PreciseTimer);
    if (id == 0)
        return false;
    timerIds_[timer] = id;
    return true;
}

void TQtForm::StopTimer(TFormTimer timer) {
    if (const auto it = timerIds_.find(timer); it != timerIds_.end()) {
        killTimer(it->second);
        timerIds_.erase(it);
    }
}

void TQtForm::SetPointerCapture(bool) {
    // Qt keeps the pointer's events for the widget that took the press until its release.
}

void TQtForm::SetApplicationTitle(const std::string& text) {
    pc::SetApplicationTitle(text);
}

std::string TQtForm::GetApplicationTitle() const {
    return pc::GetApplicationTitle();
}

void TQtForm::PumpMessages() {
    pc::PumpMessages();
}

void TQtForm::ShowMessageBox(const std::string& text) {
    pc::ShowMessageBox(text);
}

void TQtForm::TerminateApplication() {
    pc::TerminateApplication();
}

bool TQtForm::TerminationRequested() const {
    return ApplicationTerminated();
}

void TQtForm::ReportError(const std::exception& error) noexcept {
    pc::ReportError(error);
}

TZADialogProvider* TQtForm::ArchiveDialogs() {
    return &dialogs_;
}

void TQtForm::PopupMenu(TPoint at, const std::vector<TMenuEntry>& entries) {
    // Not exec(): a nested loop of the menu's own would hold the update, which pumps beneath it, until
    // the menu closed.
    if (contextMenu_)
        contextMenu_->close();
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName("ContextMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    std::map<std::string, QMenu*> submenus; // owned by the menu
    for (std::size_t i = 0; i < entries.size(); ++i) {
        QMenu* into = menu.get();
        if (!entries[i].Submenu.empty()) {
            QMenu*& submenu = submenus[entries[i].Submenu];
            if (submenu == nullptr)
                submenu = menu->addMenu(QString::fromStdString(entries[i].Submenu));
            into = submenu;
        }
        QAction* action = into->addAction(QString::fromStdString(entries[i].Text));
        action->setEnabled(entries[i].Enabled);
        if (entries[i].Checked) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        const int index = static_cast<int>(i);
        // Queued: what the choice starts may pump events, and must not run inside the menu's own handling
        // of the key or click, which goes on with the menu afterwards.
        connect(
            action, &QAction::triggered, this, [this, index] { model_->MenuChosen(index); },
            Qt::QueuedConnection);
    }
    contextMenu_ = menu.get();
    menu.release()->popup(mapToGlobal(QPoint(at.X, at.Y)));
}

} // namespace pc
