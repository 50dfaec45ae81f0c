#include "window/win32/controls.h"

#include "framework/exceptions.h"
#include "window/form_host.h"
#include "window/win32/application.h"

#include <algorithm>

namespace pc {

namespace {

template <class T> T* Owner(HWND window, UINT message, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    return reinterpret_cast<T*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

} // namespace

TProgressBarWindow::TProgressBarWindow(HWND parent, RECT box, bool visible) {
    const wchar_t* cls = win32::RegisterWindowClass(L"TProgressBar", &TProgressBarWindow::Procedure);
    window_.Reset(::CreateWindowExW(0, cls, L"", WS_CHILD | (visible ? WS_VISIBLE : 0), box.left, box.top,
                                    box.right - box.left, box.bottom - box.top, parent, nullptr,
                                    win32::ProgramInstance(), this));
}

void TProgressBarWindow::Show(std::int32_t minimum, std::int32_t maximum, std::int32_t position) {
    if (min_ == minimum && max_ == maximum && position_ == position)
        return;
    min_ = minimum;
    max_ = maximum;
    position_ = position;
    ::InvalidateRect(window_.Get(), nullptr, FALSE);
}

void TProgressBarWindow::SetVisible(bool visible) {
    ::ShowWindow(window_.Get(), visible ? SW_SHOWNA : SW_HIDE);
}

bool TProgressBarWindow::Visible() const {
    return ::IsWindowVisible(window_.Get()) != 0;
}

void TProgressBarWindow::Paint(HDC dc) const {
    RECT frame;
    ::GetClientRect(window_.Get(), &frame);
    win32::UniqueGdi<HBRUSH> back(::CreateSolidBrush(RGB(32, 36, 44)));
    ::FillRect(dc, &frame, back.Get());
    win32::UniqueGdi<HBRUSH> edge(::CreateSolidBrush(RGB(96, 104, 118)));
    ::FrameRect(dc, &frame, edge.Get());

    const RECT inner{frame.left + kProgressFrame, frame.top + kProgressFrame, frame.right - kProgressFrame,
                     frame.bottom - kProgressFrame};
    const int width = inner.right - inner.left;
    const TProgressBlocks blocks =
        ProgressBlocksOf(TProgressState{true, min_, max_, position_}, {width, inner.bottom - inner.top});
    win32::UniqueGdi<HBRUSH> block(::CreateSolidBrush(RGB(96, 200, 96)));
    for (int i = 0; i < blocks.Count; ++i) {
        const int x = i * blocks.Pitch;
        const RECT piece{inner.left + x, inner.top, inner.left + x + std::min(blocks.Width, width - x),
                         inner.bottom};
        ::FillRect(dc, &piece, block.Get());
    }
}

LRESULT CALLBACK TProgressBarWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* bar = Owner<TProgressBarWindow>(window, message, lParam);
    if (bar && message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        RunGuarded([&] { bar->Paint(dc); });
        ::EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_ERASEBKGND)
        return 1;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

TSystemTimer::TSystemTimer(int intervalMs) : interval_(intervalMs) {
    const wchar_t* cls = win32::RegisterWindowClass(L"TTimerWindow", &TSystemTimer::Procedure);
    window_.Reset(::CreateWindowExW(0, cls, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    win32::ProgramInstance(), this));
}

TSystemTimer::~TSystemTimer() {
    if (enabled_)
        ::KillTimer(window_.Get(), 1);
}

void TSystemTimer::SetEnabled(bool enabled) {
    ::KillTimer(window_.Get(), 1);
    enabled_ = false;
    if (!enabled)
        return;
    if (::SetTimer(window_.Get(), 1, static_cast<UINT>(interval_), nullptr) == 0)
        throw EOutOfResources(kNoTimersText);
    enabled_ = true;
}

LRESULT CALLBACK TSystemTimer::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* timer = Owner<TSystemTimer>(window, message, lParam);
    if (timer && message == WM_TIMER && wParam == 1) {
        if (timer->enabled_ && timer->OnTimer)
            RunGuarded([timer] { timer->OnTimer(); });
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace pc
