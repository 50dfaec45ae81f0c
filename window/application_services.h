// What the application object of each edition provides on the window thread (window/qt/application.h,
// window/win32/application.h add their toolkit's own): the quit request, the message pump, the title, the
// central report of errors that escape a handler and the notice. Declared once so that both front ends
// offer the same services under the same names.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace pc {

// Posts the quit request and returns at once; whichever loop takes it off the queue marks the
// application as ending.
void TerminateApplication();
bool ApplicationTerminated();

// Handles every event that is waiting now, then returns; never waits. A download calls it after every
// read of at most 1 KiB, so a call within about a millisecond of the last one that looked at the queue
// costs no more than reading the clock: what arrived since waits for the next pump. A quit request posted
// by this program is always taken at once.
void PumpMessages();

void SetApplicationTitle(const std::string& text);
std::string GetApplicationTitle(); // at most the first 255 bytes

// The report of an error that escaped a handler: cancels any pointer capture, then shows the error box
// unless the error is an EAbort.
void ReportError(const std::exception& error) noexcept;
void ShowErrorBox(const std::exception& error);

// The notice dialog with an OK button; returns when the user has closed it.
void ShowMessageBox(const std::string& text);

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

} // namespace pc
