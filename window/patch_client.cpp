#include "window/patch_client.h"

#include "archive/launcher_settings.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/gui/application.h"
#include "framework/text_buffer.h"
#include "window/layout_qt.h"
#include "window/pictures.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <string>
#include <utility>

namespace pc {

namespace {

QFont MakeFont(const TFontStyle& entry) {
    const TFontStyle& base = entry.Family.empty() ? kDefaultFont : entry;
    QFont font(QString::fromLatin1(base.Family.data(), static_cast<qsizetype>(base.Family.size())));
    font.setPixelSize(base.PixelHeight);
    font.setBold(entry.Bold);
    font.setUnderline(entry.Underline);
    return font;
}

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRect BoxOf(const TControlLayout& entry) {
    return QRect(entry.Left, entry.Top, entry.Width, entry.Height);
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

template <class T> T* Named(const TForm_Main& form, std::string_view name) {
    auto* control = dynamic_cast<T*>(form.FindControl(name));
    if (!control)
        throw Exception("The window layout lacks " + std::string(name));
    return control;
}

} // namespace

TForm_Main::TForm_Main(TLauncherCore core, TFormOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), Timer_Patch(kPatchTimerInterval),
      Timer_Standby(kStandbyTimerInterval), core_(std::move(core)), options_(options) {
    InstallFontSubstitutes();
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedSize(kFormWidth, kFormHeight);
    setWindowTitle(Text(kFormCaption));
    setFont(MakeFont(kDefaultFont));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, RoleColour(TColourRole::WindowText));
    setPalette(colours);
    setMouseTracking(true);
    const QIcon icon(QStringLiteral(":/assets/patch_client.ico"));
    if (!icon.isNull())
        setWindowIcon(icon);

    BuildControls();
    WireHandlers();
    zipArchiver_ = std::make_unique<TZipArchiver>();
    ApplyLauncherArchiverSettings(*zipArchiver_);
    zipArchiver_->DialogProvider = &dialogs_;

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(MainFormPlacement(screen->virtualSize()));

    RunGuarded([this] {
        if (core_.FormCreate)
            core_.FormCreate(*this);
    });
}

TForm_Main::~TForm_Main() = default;

void TForm_Main::BuildControls() {
    for (const TControlLayout& entry : kMainFormLayout) {
        const std::string name(entry.Name);
        switch (entry.Kind) {
        case TControlKind::Picture: {
            auto image = std::make_unique<TImage>(name, BoxOf(entry), entry.Visible, entry.Drawing);
            RunGuarded([&] { image->SetPicture(LoadPicture(entry.Asset)); });
            graphics_.push_back(std::move(image));
            break;
        }
        case TControlKind::Label: {
            auto label = std::make_unique<TLabel>(name, BoxOf(entry), entry.Visible, MakeFont(entry.Font),
                                                  RoleColour(entry.Colour), entry.AutoSize, entry.CentreText);
            label->SetCaption(Text(entry.Text));
            graphics_.push_back(std::move(label));
            break;
        }
        case TControlKind::Memo: {
            auto memo = std::make_unique<TLogMemo>(this);
            memo->setGeometry(BoxOf(entry));
            memo->setFont(MakeFont(entry.Font));
            QPalette colours = memo->palette();
            colours.setColor(QPalette::Base, QColor::fromRgb(kLogBackground));
            colours.setColor(QPalette::Text, RoleColour(entry.Colour));
            memo->setPalette(colours);
            // Right-to-left only where the desktop's language is written that way.
            if (QLocale::system().textDirection() == Qt::RightToLeft)
                memo->setLayoutDirection(Qt::RightToLeft);
            memo->setVisible(entry.Visible);
            Memo_Log = memo.release();
            break;
        }
        case TControlKind::WebView: {
            auto view = std::make_unique<TNewsView>(this, options_.NewsEngine);
            view->setGeometry(BoxOf(entry));
            view->setVisible(entry.Visible);
            WebBrowser = view.release();
            break;
        }
        case TControlKind::ProgressBar: {
            auto bar = std::make_unique<TProgressBar>(this);
            bar->setGeometry(BoxOf(entry));
            bar->setVisible(entry.Visible);
            ProgressBar = bar.release();
            break;
        }
        }
    }

    Image_Background = Named<TImage>(*this, "Image_Background");
    Image_Back = Named<TImage>(*this, "Image_Back");
    Image_Start = Named<TImage>(*this, "Image_Start");
    Image_Start_Over = Named<TImage>(*this, "Image_Start_Over");
    Image_WebSite = Named<TImage>(*this, "Image_WebSite");
    Image_WebSite_Over = Named<TImage>(*this, "Image_WebSite_Over");
    Image_ControlPanel = Named<TImage>(*this, "Image_ControlPanel");
    Image_ControlPanel_Over = Named<TImage>(*this, "Image_ControlPanel_Over");
    Image_Forum = Named<TImage>(*this, "Image_Forum");
    Image_Forum_Over = Named<TImage>(*this, "Image_Forum_Over");
    Image_Exit = Named<TImage>(*this, "Image_Exit");
    Image_Exit_Over = Named<TImage>(*this, "Image_Exit_Over");
    Label_Standby = Named<TLabel>(*this, "Label_Standby");
    Label_Start = Named<TLabel>(*this, "Label_Start");
    Label_WebSite = Named<TLabel>(*this, "Label_WebSite");
    Label_ControlPanel = Named<TLabel>(*this, "Label_ControlPanel");
    Label_Forum = Named<TLabel>(*this, "Label_Forum");
    Label_Exit = Named<TLabel>(*this, "Label_Exit");
    Label_advertisement = Named<TLabel>(*this, "Label_advertisement");
    Label_ServerName = Named<TLabel>(*this, "Label_ServerName");

    buttons_ = {{{Image_Start, Image_Start_Over, Label_Start},
                 {Image_WebSite, Image_WebSite_Over, Label_WebSite},
                 {Image_ControlPanel, Image_ControlPanel_Over, Label_ControlPanel},
                 {Image_Forum, Image_Forum_Over, Label_Forum},
                 {Image_Exit, Image_Exit_Over, Label_Exit}}};

    // The key-coloured pixels of the background give the window its outline.
    const QImage background = Image_Background->Picture().convertToFormat(QImage::Format_RGB32);
    if (!background.isNull())
        keyRegion_ =
            QRegion(QBitmap::fromImage(background.createMaskFromColor(kKeyColour, Qt::MaskOutColor)));
    for (auto& control : graphics_) {
        if (auto* label = dynamic_cast<TLabel*>(control.get());
            label && keyRegion_.intersects(label->BoundsRect()))
            label->SetSmoothText(false);
        control->OnChanged = [this](QRect area) { GraphicChanged(area); };
    }
    UpdateKeyMask();
}

void TForm_Main::WireHandlers() {
    for (const TWiring& wiring : kWiring) {
        TGraphicControl* control = FindControl(wiring.Control);
        if (!control)
            continue;
        auto handler = [this, h = wiring.Handler] { (this->*h)(); };
        if (wiring.Event == TEvent::MouseMove)
            control->OnMouseMove = handler;
        else
            control->OnClick = handler;
    }
    Timer_Patch.OnTimer = [this] {
        // The update starts only once the window has been shown and painted for the first time. A desktop
        // that never asks for the painting (a window kept off screen) holds it back for a second at most.
        const bool shownLongEnough = shownFor_.isValid() && shownFor_.elapsed() >= 1000;
        if (!firstPaintDone_ && !shownLongEnough)
            return;
        Timer_PatchTimer();
    };
    Timer_Standby.OnTimer = [this] { Timer_StandbyTimer(); };
}

TGraphicControl* TForm_Main::FindControl(std::string_view name) const {
    for (const auto& control : graphics_)
        if (control->Name() == name)
            return control.get();
    return nullptr;
}

TGraphicControl* TForm_Main::ControlAt(QPoint point) const {
    for (auto it = graphics_.rbegin(); it != graphics_.rend(); ++it) {
        TGraphicControl* control = it->get();
        if (control->Visible() && control->Enabled() && control->BoundsRect().contains(point))
            return control;
    }
    return nullptr;
}

TLauncherValues TForm_Main::Values() const {
    return core_.Values ? core_.Values() : TLauncherValues{};
}

// ---- Hover, clear and clicks ----

void TForm_Main::Highlight(TButtonIndex button) {
    const TButton& b = buttons_[button];
    b.Over->SetVisible(true);
    b.Caption->SetVisible(true);
    const QString server = ToDisplayText(Values().ServerName);
    switch (button) {
    case bStart:
        b.Caption->SetCaption(QStringLiteral("Start ") + server);
        break;
    case bWebSite:
        b.Caption->SetCaption(server + QStringLiteral(" Website"));
        break;
    case bControlPanel:
        b.Caption->SetCaption(server + QStringLiteral(" Control Panel"));
        break;
    case bForum:
        b.Caption->SetCaption(server + QStringLiteral(" Forum"));
        break;
    case bExit:
        break; // Exit keeps its stored caption
    }
}

void TForm_Main::FormMouseMove() {
    Image_BackMouseMove();
}

void TForm_Main::Image_BackMouseMove() {
    for (const TButton& b : buttons_) {
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
    Timer_Standby.SetEnabled(true);
    Label_Standby->SetVisible(true);
    // An error here leaves the rest undone: Start stays without effect and the animation goes on.
    if (core_.UpdateRun)
        core_.UpdateRun(*this, Values().PatchListUrl);
    Timer_Standby.SetEnabled(false);
    Label_Standby->SetVisible(false);
    Image_Start_Over->SetEnabled(true);
}

void TForm_Main::Timer_StandbyTimer() {
    Label_Standby->SetCaption(QStringLiteral("Please Wait") + QString(Timer_Standby.Tag + 1, QChar('.')));
    ++Timer_Standby.Tag;
    if (Timer_Standby.Tag == 3)
        Timer_Standby.Tag = 0;
}

// ---- UiPort ----

void TForm_Main::SetApplicationTitle(const std::string& text) {
    pc::SetApplicationTitle(text);
}

std::string TForm_Main::GetApplicationTitle() const {
    return pc::GetApplicationTitle();
}

void TForm_Main::SetWindowCaption(const std::string& text) {
    setWindowTitle(ToDisplayText(text));
}

void TForm_Main::SetServerLabel(const std::string& text) {
    Label_ServerName->SetCaption(ToDisplayText(text));
}

void TForm_Main::NavigateNews(const std::string& url) {
    WebBrowser->Navigate(ToDisplayText(url));
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
    Memo_Log->AppendLine(ToDisplayText(text));
}

void TForm_Main::SetProgressVisible(bool visible) {
    ProgressBar->setVisible(visible);
}

void TForm_Main::SetProgressPosition(std::int32_t position) {
    ProgressBar->SetPosition(position);
}

void TForm_Main::SetProgressMax(std::int32_t maximum) {
    ProgressBar->SetMax(maximum);
}

void TForm_Main::StepProgress(std::int32_t delta) {
    ProgressBar->StepBy(delta);
}

void TForm_Main::PumpMessages() {
    pc::PumpMessages();
}

void TForm_Main::ShowMessageBox(const std::string& text) {
    pc::ShowMessageBox(text);
}

bool TForm_Main::TerminationRequested() const {
    return ApplicationTerminated();
}

void TForm_Main::TerminateApplication() {
    pc::TerminateApplication();
}

TZipArchiver& TForm_Main::ZipArchiver() {
    return *zipArchiver_;
}

// ---- Painting, the key colour and pointer routing ----

QImage TForm_Main::ComposePicture() const {
    QImage picture(kFormWidth, kFormHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    for (const auto& control : graphics_)
        if (control->Visible())
            control->Paint(painter);
    return picture;
}

void TForm_Main::UpdateKeyMask() {
    if (keyRegion_.isEmpty())
        return; // no key-coloured art: a plain rectangle
    const QImage picture = ComposePicture();
    visibleRegion_ = QRegion(QBitmap::fromImage(picture.createMaskFromColor(kKeyColour, Qt::MaskInColor)));
    setMask(visibleRegion_);
}

void TForm_Main::GraphicChanged(QRect area) {
    update(area);
    // Only what is drawn over the key colour changes the window's outline.
    if (keyRegion_.intersects(area))
        UpdateKeyMask();
}

void TForm_Main::paintEvent(QPaintEvent* event) {
    RunGuarded([&] {
        QPainter painter(this);
        painter.setClipRegion(event->region());
        for (const auto& control : graphics_)
            if (control->Visible() && event->region().intersects(control->BoundsRect()))
                control->Paint(painter);
    });
    firstPaintDone_ = true;
}

void TForm_Main::mouseMoveEvent(QMouseEvent* event) {
    // Child windows keep their pointer events; what they pass on is not the form's.
    if (!capture_ && childAt(event->position().toPoint()))
        return;
    RunGuarded([&] {
        TGraphicControl* target = capture_ ? capture_ : ControlAt(event->position().toPoint());
        if (!target)
            FormMouseMove();
        else if (target->OnMouseMove)
            target->OnMouseMove();
    });
}

void TForm_Main::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || childAt(event->position().toPoint()))
        return;
    capture_ = ControlAt(event->position().toPoint());
    clickPending_ = capture_ != nullptr;
}

void TForm_Main::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click holds the pointer but never makes a second click.
    if (event->button() != Qt::LeftButton || childAt(event->position().toPoint()))
        return;
    capture_ = ControlAt(event->position().toPoint());
    clickPending_ = false;
}

void TForm_Main::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    TGraphicControl* control = capture_;
    const bool click =
        clickPending_ && control && control->BoundsRect().contains(event->position().toPoint());
    capture_ = nullptr;
    clickPending_ = false;
    if (click && control->OnClick)
        RunGuarded([&] { control->OnClick(); });
}

void TForm_Main::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the application, once control is back in the main loop.
    event->ignore();
    TerminateApplication();
}

void TForm_Main::showEvent(QShowEvent* event) {
    if (!shownFor_.isValid())
        shownFor_.start();
    QWidget::showEvent(event);
}

bool TForm_Main::event(QEvent* event) {
    if (event->type() == CancelModeEventType()) {
        capture_ = nullptr;
        clickPending_ = false;
        return true;
    }
    return QWidget::event(event);
}

} // namespace pc
