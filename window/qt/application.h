// The application object and its services on the window thread: the title, the quit request, the message
// pump, the main loop and the central report of errors that escape an event handler.
#pragma once

#include <QEvent>
#include <QString>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

class QObject;
class QWidget;

namespace pc {

// Exactly one lives at a time, made after the QApplication and before the main window. The free
// functions below act on the current one.
class TApplication {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    bool Terminated() const { return terminated_; }

private:
    friend void SetApplicationTitle(const std::string& text);
    friend std::string GetApplicationTitle();
    friend class TQuitReceiver;
    friend void TerminateApplication();
    friend void PumpMessages();

    std::unique_ptr<QObject> quitReceiver_;
    std::string title_;
    bool terminated_ = false;
    bool quitWaiting_ = false; // posted and not yet taken: the next pump must look at the queue
};

// Posts the quit request and returns at once; whichever loop takes it off the queue marks the
// application as ending.
void TerminateApplication();
bool ApplicationTerminated();

// Handles every event that is waiting now, then returns; never waits. A download calls it after every
// read of at most 1 KiB, so a call within about a millisecond of the last full pump costs no more than
// reading the clock: what arrived since waits for the next pump. A quit request posted by this program is
// always taken at once.
void PumpMessages();

// Shows the main window and handles events until the application has been told to end.
void RunMessageLoop(QWidget& mainWindow);

void SetApplicationTitle(const std::string& text);
std::string GetApplicationTitle(); // at most the first 255 bytes

// The report of an error that escaped a handler: cancels any pointer capture, then shows the error box
// unless the error is an EAbort.
void ReportError(const std::exception& error) noexcept;
void ShowErrorBox(const std::exception& error);

// The notice dialog with an OK button; returns when the user has closed it.
void ShowMessageBox(const std::string& text);

// Sent to every top-level widget when an error report cancels pointer capture.
QEvent::Type CancelModeEventType();

// Runs one event handler so that nothing escapes into the toolkit: an error ends the handler and is
// reported, and the program goes on with the next event.
template <class F> void RunGuarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (const std::exception& error) {
        ReportError(error);
    } catch (...) {
        ReportError(std::runtime_error("Unknown error"));
    }
}

// The core's strings are bytes; the desktop shows them as UTF-8 where they are valid UTF-8 and as
// Windows-1252 otherwise (the code page the configuration files were written in).
QString ToDisplayText(const std::string& bytes);
std::string FromDisplayText(const QString& text);

// Map the classic Windows font names of the layout onto the fonts the platform carries.
void InstallFontSubstitutes();

} // namespace pc
