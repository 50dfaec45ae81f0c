// The application object on Win32 and the services of window/application_services.h: the title held by a
// hidden application window, the quit request as the thread's quit message, the message pump, the main
// loop and the central report of errors that escape a handler.
#pragma once

#include "window/application_services.h"
#include "window/win32/win32_window.h"

#include <exception>
#include <string>

namespace pc {

// Exactly one lives at a time, made before the main window. The services and the free functions below act
// on it.
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

// For modal loops of their own: a quit message was taken off the queue.
void NoteQuitMessage();

// Shows the main window as the process was asked to and handles messages until the application has been
// told to end.
void RunMessageLoop(HWND mainWindow);

HWND ApplicationHandle(); // the hidden application window; nullptr without an application

// The text and caption the error box shows for an error.
std::string ErrorBoxText(const std::exception& error);

} // namespace pc
