// The application object on Qt and the services of window/application_services.h: the title, the quit
// request as a posted event, the message pump, the main loop and the central report of errors that escape
// an event handler.
#pragma once

#include "window/application_services.h"

#include <QEvent>
#include <QString>

#include <memory>
#include <string>

class QObject;
class QWidget;

namespace pc {

// Exactly one lives at a time, made after the QApplication and before the main window. The services and
// the free functions below act on the current one.
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

// Shows the main window and handles events until the application has been told to end.
void RunMessageLoop(QWidget& mainWindow);

// Sent to every top-level widget when an error report cancels pointer capture.
QEvent::Type CancelModeEventType();

// The core's strings are bytes; the desktop shows them as UTF-8 where they are valid UTF-8 and as
// Windows-1252 otherwise (the code page the configuration files were written in).
QString ToDisplayText(const std::string& bytes);
std::string FromDisplayText(const QString& text);

// Map the classic Windows font names of the layout onto the fonts the platform carries.
void InstallFontSubstitutes();

} // namespace pc
