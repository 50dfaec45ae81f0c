// The application object and its services on the window thread, on Win32: the title held by a hidden
// application window, the quit request as the thread's quit message, the message pump, the main loop and
// the central report of errors that escape a handler.
#pragma once

#include "window/win32/win32_window.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace pc {

// Exactly one lives at a time, made before the main window. The free functions below act on it.
class TApplication {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    bool Terminated() const { return terminated_; }
    HWND Handle() const { return handle_.Get(); } // the hidden application window

private:
    friend void SetApplicationTitle(const std::string& text);
    friend std::string GetApplicationTitle();
    friend void NoteQuitMessage();

    win32::UniqueWindow handle_;
    std::string title_;
    bool terminated_ = false;
};

// Posts the quit message and returns at once; whichever loop takes it off the queue marks the
// application as ending.
void TerminateApplication();
bool ApplicationTerminated();
// For modal loops of their own: a quit message was taken off the queue.
void NoteQuitMessage();

// Handles every message that is waiting now, then returns; never waits. A call within about a millisecond
// of the last one that looked at the queue costs no more than reading the clock; a quit message posted by
// this program is always taken at once.
void PumpMessages();

// Shows the main window as the process was asked to and handles messages until the application has been
// told to end.
void RunMessageLoop(HWND mainWindow);

void SetApplicationTitle(const std::string& text);
std::string GetApplicationTitle(); // at most the first 255 bytes
HWND ApplicationHandle();          // the hidden application window; nullptr without an application

// The report of an error that escaped a handler: cancels any pointer capture, then shows the error box
// unless the error is an EAbort.
void ReportError(const std::exception& error) noexcept;
void ShowErrorBox(const std::exception& error);
// The text and caption the error box shows for an error.
std::string ErrorBoxText(const std::exception& error);

// The notice dialog with an OK button; returns when the user has closed it.
void ShowMessageBox(const std::string& text);

// Runs one handler so that nothing escapes into the system's frames: an error ends the handler and is
// reported, and the program goes on with the next message.
template <class F> void RunGuarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (const std::exception& error) {
        ReportError(error);
    } catch (...) {
        ReportError(std::runtime_error("Unknown error"));
    }
}

} // namespace pc
