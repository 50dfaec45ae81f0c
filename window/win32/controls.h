// The window's own child controls and timers on Win32: the block progress bar and the timer component.
#pragma once

#include "window/win32/win32_window.h"

#include <cstdint>
#include <functional>

namespace pc {

// A horizontal bar filled from the left in separate blocks, drawn by itself from the range it is given.
class TProgressBarWindow {
public:
    TProgressBarWindow(HWND parent, RECT box, bool visible);
    void Show(std::int32_t minimum, std::int32_t maximum, std::int32_t position);
    void SetVisible(bool visible);
    bool Visible() const;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc) const;

    win32::UniqueWindow window_;
    std::int32_t min_ = 0;
    std::int32_t max_ = 100;
    std::int32_t position_ = 0;
};

// One system timer on a hidden window of its own, identifier 1. Enabling first kills and then sets the
// timer; ticks come through the message queue and run inside the error boundary.
class TSystemTimer {
public:
    explicit TSystemTimer(int intervalMs);
    ~TSystemTimer();
    TSystemTimer(const TSystemTimer&) = delete;
    TSystemTimer& operator=(const TSystemTimer&) = delete;

    void SetEnabled(bool enabled); // EOutOfResources when the system has no timer left
    bool Enabled() const { return enabled_; }
    int Interval() const { return interval_; }
    std::function<void()> OnTimer;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    win32::UniqueWindow window_;
    int interval_;
    bool enabled_ = false;
};

} // namespace pc
