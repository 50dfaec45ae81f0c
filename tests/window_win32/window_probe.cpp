// A Windows program the window tests run beside the launcher, in the same Wine session: it reads what
// another program's windows show, as a screen reader would, and prints it as UTF-8.
//   window_probe texts CAPTION [CLASS]   the first visible top-level window captioned CAPTION (and of the
//                                class CLASS): its class, then one line per child window:
//                                class TAB left,top,right,bottom TAB text
//   window_probe list            every visible top-level window: class TAB caption
//   window_probe clipboard       the clipboard's text, as it stands
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                             0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), needed,
                          nullptr, nullptr);
    return bytes;
}

std::wstring Wide(const char* text) {
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), needed);
    wide.resize(wide.size() - 1);
    return wide;
}

std::wstring TextOf(HWND window) {
    // WM_GETTEXT crosses into the other process; GetWindowText would not read its controls.
    const LRESULT length = ::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    ::SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(length + 1),
                   reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    return name;
}

std::string Escaped(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

struct TFind {
    std::wstring Caption;
    std::wstring Class; // empty: any
    HWND Found = nullptr;
};

BOOL CALLBACK FindTop(HWND window, LPARAM param) {
    auto* find = reinterpret_cast<TFind*>(param);
    if (::IsWindowVisible(window) && TextOf(window) == find->Caption &&
        (find->Class.empty() || ClassOf(window) == find->Class)) {
        find->Found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK ListTop(HWND window, LPARAM) {
    if (::IsWindowVisible(window))
        std::printf("%s\t%s\n", Utf8(ClassOf(window)).c_str(), Escaped(TextOf(window)).c_str());
    return TRUE;
}

BOOL CALLBACK ListChild(HWND window, LPARAM) {
    RECT box{};
    ::GetWindowRect(window, &box);
    std::printf("%s\t%ld,%ld,%ld,%ld\t%s\n", Utf8(ClassOf(window)).c_str(), box.left, box.top, box.right,
                box.bottom, Escaped(TextOf(window)).c_str());
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "clipboard") {
        if (!::OpenClipboard(nullptr))
            return 1;
        std::wstring text;
        if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
            if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
                text = chars;
                ::GlobalUnlock(data);
            }
        }
        ::CloseClipboard();
        std::fputs(Escaped(text).c_str(), stdout);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "list") {
        ::EnumWindows(ListTop, 0);
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::string(argv[1]) == "texts") {
        TFind find{Wide(argv[2]), argc == 4 ? Wide(argv[3]) : std::wstring()};
        ::EnumWindows(FindTop, reinterpret_cast<LPARAM>(&find));
        if (!find.Found)
            return 1;
        std::printf("%s\n", Utf8(ClassOf(find.Found)).c_str());
        ::EnumChildWindows(find.Found, ListChild, 0);
        return 0;
    }
    std::fprintf(stderr, "usage: window_probe list | texts CAPTION\n");
    return 2;
}
