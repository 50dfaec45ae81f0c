#include "window/win32/application.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "window/win32/message_form.h"

#include <chrono>

namespace pc {

namespace {

TApplication* current = nullptr;
bool quitWaiting = false; // posted by this program and not yet taken off the queue

// A download pumps after every read of at most 1 KiB. Asking the queue costs a system call, and under Wine a
// round trip to the wine server, about as much as the read itself; within this time after the last look
// another pump skips it: nobody sees a message handled a millisecond later.
constexpr std::chrono::microseconds kPumpQuietTime{1000};
std::chrono::steady_clock::time_point lastLook{};

// From the program's wide name, so that a name outside the system code page keeps its letters.
std::string InitialTitle() {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    const std::size_t slash = path.find_last_of(L"\\/");
    return InitialApplicationTitle(
        win32::FromDisplayText(slash == std::wstring::npos ? path : path.substr(slash + 1)));
}

LRESULT CALLBACK ApplicationProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

TApplication::TApplication() : title_(InitialTitle()) {
    const wchar_t* cls = win32::RegisterWindowClass(L"TApplication", ApplicationProc);
    handle_.Reset(::CreateWindowExW(0, cls, win32::DisplayText(title_).c_str(), WS_POPUP, 0, 0, 0, 0, nullptr,
                                    nullptr, win32::ProgramInstance(), nullptr));
    current = this;
}

TApplication::~TApplication() {
    if (current == this)
        current = nullptr;
}

void TerminateApplication() {
    ::PostQuitMessage(0);
    quitWaiting = true;
}

bool ApplicationTerminated() {
    return current && current->Terminated();
}

void NoteQuitMessage() {
    quitWaiting = false;
    if (current)
        current->terminated_ = true;
}

void PumpMessages() {
    const auto now = std::chrono::steady_clock::now();
    if (!quitWaiting && now - lastLook < kPumpQuietTime)
        return;
    lastLook = now;
    // When the queue holds nothing (no message posted or sent, no input, no timer due, nothing to paint),
    // one question answers it.
    if (!quitWaiting && HIWORD(::GetQueueStatus(QS_ALLINPUT)) == 0)
        return;
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            NoteQuitMessage();
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

void RunMessageLoop(HWND mainWindow) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    int show = SW_SHOW;
    if (startup.dwFlags & STARTF_USESHOWWINDOW) {
        if (startup.wShowWindow == SW_SHOWMAXIMIZED)
            show = SW_SHOWMAXIMIZED;
        else if (startup.wShowWindow == SW_SHOWMINNOACTIVE)
            show = SW_SHOWMINNOACTIVE;
    }
    ::ShowWindow(mainWindow, show);
    ::UpdateWindow(mainWindow);
    while (!ApplicationTerminated()) {
        MSG message;
        const BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            NoteQuitMessage();
            break;
        }
        try {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        } catch (const std::exception& error) {
            ReportError(error);
        }
    }
}

void SetApplicationTitle(const std::string& text) {
    if (!current || current->title_ == text)
        return;
    current->title_ = text;
    ::SetWindowTextW(current->Handle(), win32::DisplayText(text).c_str());
}

std::string GetApplicationTitle() {
    return current ? current->title_.substr(0, 255) : std::string();
}

HWND ApplicationHandle() {
    return current ? current->Handle() : nullptr;
}

void ReportError(const std::exception& error) noexcept {
    try {
        if (HWND captured = ::GetCapture())
            ::SendMessageW(captured, WM_CANCELMODE, 0, 0);
        if (dynamic_cast<const EAbort*>(&error))
            return;
        ShowErrorBox(error);
    } catch (...) {
        // Nothing is left to report to; the program goes on with the next message.
    }
}

std::string ErrorBoxText(const std::exception& error) {
    return ErrorReportText(error);
}

void ShowErrorBox(const std::exception& error) {
    // MessageBoxA shows bytes of the ANSI code page: the texts go there from the desktop's reading of them.
    const std::string text = win32::FromWide(win32::DisplayText(ErrorBoxText(error)), CP_ACP);
    const std::string caption = win32::FromWide(win32::DisplayText(GetApplicationTitle()), CP_ACP);
    win32::TThreadWindowsDisabled modality;
    ::MessageBoxA(ApplicationHandle(), text.c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
}

void ShowMessageBox(const std::string& text) {
    TMessageForm form(win32::DisplayText(text), win32::DisplayText(GetApplicationTitle()));
    form.ShowModal();
}

} // namespace pc
