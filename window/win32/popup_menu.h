// The window's context menu on Win32. TrackPopupMenu runs a modal loop of its own until the menu closes;
// on the window's thread that loop would hold the update, which pumps messages beneath it, for as long as
// the menu is up. So the menu lives on a thread of its own, and its answer comes back to the window as a
// posted message.
#pragma once

#include "window/form_host.h"
#include "window/win32/win32_window.h"

#include <atomic>
#include <thread>
#include <vector>

namespace pc {

class TPopupMenu {
public:
    // Shows the entries at a point of the screen and returns at once. When the menu closes, `answer` is
    // posted to `window` with the index of the entry chosen (or -1) as its WPARAM.
    TPopupMenu(HWND window, UINT answer, POINT at, std::vector<TMenuEntry> entries);
    // Closes the menu if it is still up and waits for its thread; no answer is posted then.
    ~TPopupMenu();
    TPopupMenu(const TPopupMenu&) = delete;
    TPopupMenu& operator=(const TPopupMenu&) = delete;

private:
    void Run(HWND window, UINT answer, POINT at, const std::vector<TMenuEntry>& entries);

    std::atomic<HWND> owner_{nullptr}; // the menu thread's own window, once it exists
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

} // namespace pc
