#include "window/qt/application.h"

#include "framework/code_pages.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "window/qt/message_form.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QMessageBox>
#include <QWidget>

#include <array>
#include <chrono>

namespace pc {

namespace {

TApplication* current = nullptr;

// Looking into Qt's queue (glib's prepare and check rounds, a poll of every descriptor) costs several
// microseconds, about as much as reading 1 KiB from loopback. Within this time after a full pump
// another one skips the look: nobody sees an event handled a millisecond later, and the timers of the
// window tick at millisecond precision anyway.
constexpr std::chrono::microseconds kPumpQuietTime{1000};
std::chrono::steady_clock::time_point lastFullPump{};

QEvent::Type QuitEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

std::string InitialTitle() {
    return InitialApplicationTitle(QCoreApplication::applicationFilePath().toStdString());
}

// Windows-1252 differs from Latin-1 only in 0x80-0x9F.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

class TQuitReceiver : public QObject {
public:
    explicit TQuitReceiver(TApplication& app) : app_(app) {}
    bool event(QEvent* e) override {
        if (e->type() == QuitEventType()) {
            app_.terminated_ = true;
            app_.quitWaiting_ = false;
            return true;
        }
        return QObject::event(e);
    }

private:
    TApplication& app_;
};

TApplication::TApplication() : quitReceiver_(std::make_unique<TQuitReceiver>(*this)), title_(InitialTitle()) {
    current = this;
}

TApplication::~TApplication() {
    if (current == this)
        current = nullptr;
}

void TerminateApplication() {
    if (!current)
        return;
    QCoreApplication::postEvent(current->quitReceiver_.get(), new QEvent(QuitEventType()));
    current->quitWaiting_ = true;
}

bool ApplicationTerminated() {
    return current && current->Terminated();
}

void PumpMessages() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFullPump < kPumpQuietTime && !(current && current->quitWaiting_))
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    lastFullPump = std::chrono::steady_clock::now();
}

void RunMessageLoop(QWidget& mainWindow) {
    mainWindow.show();
    while (!ApplicationTerminated()) {
        try {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        } catch (const std::exception& error) {
            ReportError(error);
        }
    }
}

void SetApplicationTitle(const std::string& text) {
    if (current && current->title_ != text)
        current->title_ = text;
}

std::string GetApplicationTitle() {
    return current ? current->title_.substr(0, 255) : std::string();
}

QEvent::Type CancelModeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void ReportError(const std::exception& error) noexcept {
    try {
        if (QWidget* grabber = QWidget::mouseGrabber())
            grabber->releaseMouse();
        for (QWidget* w : QApplication::topLevelWidgets()) {
            QEvent cancel(CancelModeEventType());
            QCoreApplication::sendEvent(w, &cancel);
        }
        if (dynamic_cast<const EAbort*>(&error))
            return;
        ShowErrorBox(error);
    } catch (...) {
        // Nothing is left to report to; the program goes on with the next event.
    }
}

void ShowErrorBox(const std::exception& error) {
    QMessageBox box(QMessageBox::Critical, ToDisplayText(GetApplicationTitle()),
                    ToDisplayText(ErrorReportText(error)), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ShowMessageBox(const std::string& text) {
    TMessageForm form(ToDisplayText(text), ToDisplayText(GetApplicationTitle()));
    form.ShowModal();
}

QString ToDisplayText(const std::string& bytes) {
    if (IsValidUtf8(bytes))
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        text.append(c >= 0x80 && c < 0xA0 ? QChar(kCp1252High[c - 0x80]) : QChar(c));
    }
    return text;
}

std::string FromDisplayText(const QString& text) {
    return text.toUtf8().toStdString();
}

void InstallFontSubstitutes() {
    QFont::insertSubstitution("MS Sans Serif", "Liberation Sans");
    QFont::insertSubstitution("Arial", "Liberation Sans");
}

} // namespace pc
