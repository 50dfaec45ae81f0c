#include "window/win32/win32_window.h"

#include "framework/code_pages.h"

#include <map>
#include <string>

namespace pc::win32 {

std::wstring DisplayText(std::string_view bytes) {
    return ToWide(bytes, IsValidUtf8(bytes) ? CP_UTF8 : 1252);
}

std::string FromDisplayText(std::wstring_view text) {
    return FromWide(text, CP_UTF8);
}

TThreadWindowsDisabled::TThreadWindowsDisabled(HWND except)
    : except_(except), active_(::GetActiveWindow()), focus_(::GetFocus()) {
    ::EnumThreadWindows(::GetCurrentThreadId(), &TThreadWindowsDisabled::Disable,
                        reinterpret_cast<LPARAM>(this));
}

TThreadWindowsDisabled::~TThreadWindowsDisabled() {
    for (HWND window : disabled_)
        if (::IsWindow(window))
            ::EnableWindow(window, TRUE);
    if (active_ && ::IsWindow(active_))
        ::SetActiveWindow(active_);
    if (focus_ && ::IsWindow(focus_))
        ::SetFocus(focus_);
}

BOOL CALLBACK TThreadWindowsDisabled::Disable(HWND window, LPARAM self) {
    auto* guard = reinterpret_cast<TThreadWindowsDisabled*>(self);
    if (window != guard->except_ && ::IsWindowVisible(window) && ::IsWindowEnabled(window)) {
        ::EnableWindow(window, FALSE);
        guard->disabled_.push_back(window);
    }
    return TRUE;
}

HINSTANCE ProgramInstance() {
    return ::GetModuleHandleW(nullptr);
}

UniqueGdi<HFONT> MakeFont(std::wstring_view family, int characterHeight, bool bold, bool underline,
                          bool smooth) {
    LOGFONTW font{};
    font.lfHeight = -characterHeight; // negative: the character height, without internal leading
    font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfOutPrecision = OUT_DEFAULT_PRECIS;
    font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    font.lfQuality = smooth ? DEFAULT_QUALITY : NONANTIALIASED_QUALITY;
    font.lfPitchAndFamily = DEFAULT_PITCH | FF_SWISS;
    family.copy(font.lfFaceName, std::min<std::size_t>(family.size(), LF_FACESIZE - 1));
    return UniqueGdi<HFONT>(::CreateFontIndirectW(&font));
}

UniqueGdi<HFONT> MessageFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        return UniqueGdi<HFONT>(::CreateFontIndirectW(&metrics.lfMessageFont));
    return MakeFont(L"MS Sans Serif", 11, false, false);
}

const wchar_t* RegisterWindowClass(const wchar_t* name, WNDPROC procedure, UINT style, HICON icon) {
    static std::map<std::wstring, bool> registered;
    if (!registered[name]) {
        WNDCLASSEXW cls{};
        cls.cbSize = sizeof(cls);
        cls.style = style;
        cls.lpfnWndProc = procedure;
        cls.hInstance = ProgramInstance();
        cls.hIcon = icon;
        cls.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        cls.lpszClassName = name;
        ::RegisterClassExW(&cls);
        registered[name] = true;
    }
    return name;
}

} // namespace pc::win32
