#include "window/win32/message_form.h"

#include "framework/dialog_units.h"

#include "window/win32/application.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace pc {

namespace {

constexpr DWORD kFormStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kFormExStyle = WS_EX_DLGMODALFRAME;
constexpr int kTextId = 100;
constexpr int kEditId = 101;
constexpr int kFirstButtonId = 1000;

TDialogUnits UnitsOf(HDC dc) {
    SIZE size{};
    ::GetTextExtentPoint32A(dc, kDialogUnitLetters, kDialogUnitLetterCount, &size);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    return TDialogUnits{std::max(1, static_cast<int>(size.cx / kDialogUnitLetterCount)),
                        std::max(1, static_cast<int>(metrics.tmHeight))};
}

int CaptionWidth(HDC dc, const std::wstring& caption) {
    RECT box{0, 0, 0, 0};
    ::DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &box, DT_CALCRECT | DT_SINGLELINE);
    return box.right - box.left;
}

std::wstring WithoutAmpersands(std::wstring text) {
    std::erase(text, L'&');
    return text;
}

// Centres a window of the given client size on the primary screen; returns its outer rectangle.
RECT CentredFrame(SIZE client) {
    RECT frame{0, 0, client.cx, client.cy};
    ::AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return RECT{x, y, x + width, y + height};
}

// The modal loop of a form: one message at a time, dialog keys through IsDialogMessage, until `done`.
// A quit message taken here marks the application as ending; once it is ending, the form ends after the
// next message. Returns false when the form ended that way.
bool RunModalLoop(HWND form, const bool& done, const std::function<bool(const MSG&)>& preview) {
    win32::TThreadWindowsDisabled others(form);
    ::ShowWindow(form, SW_SHOW);
    ::SetForegroundWindow(form);
    while (!done && ::IsWindow(form)) {
        if (ApplicationTerminated())
            return false;
        MSG message;
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            NoteQuitMessage();
            return false;
        }
        try {
            if (preview && preview(message))
                continue;
            if (!::IsDialogMessageW(form, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        } catch (const std::exception& error) {
            ReportError(error);
        }
    }
    return true;
}

HWND MakeChild(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, RECT box, int id,
               HFONT font) {
    HWND child = ::CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, box.left, box.top,
                                   box.right - box.left, box.bottom - box.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   win32::ProgramInstance(), nullptr);
    ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

} // namespace

TMessageForm::TMessageForm(std::wstring text, std::wstring caption, std::vector<TDialogButton> buttons,
                           int cancelAnswer, bool questionIcon)
    : text_(std::move(text)), caption_(std::move(caption)), buttons_(std::move(buttons)),
      cancelAnswer_(cancelAnswer), questionIcon_(questionIcon), font_(win32::MessageFont()),
      answer_(cancelAnswer) {
    Layout();
}

TMessageForm::~TMessageForm() = default;

void TMessageForm::Layout() {
    win32::ScreenDc dc;
    win32::SelectGuard font(dc.Get(), font_.Get());
    const TDialogUnits du = UnitsOf(dc.Get());
    const TMessageFormMetrics m = MessageFormMetrics(du);
    const int hMargin = m.HMargin;
    const int vMargin = m.VMargin;
    const int vSpacing = m.VSpacing;
    buttonHeight_ = m.ButtonHeight;
    buttonGap_ = m.ButtonGap;
    buttonWidth_ = m.ButtonWidth;
    for (const TDialogButton& button : buttons_)
        buttonWidth_ = std::max(buttonWidth_, CaptionWidth(dc.Get(), WithoutAmpersands(button.Caption)) +
                                                  kButtonCaptionPadding);

    // The text wraps at half the screen's width; an empty text still takes one line.
    const int iconSpace = questionIcon_ ? ::GetSystemMetrics(SM_CXICON) + hMargin : 0;
    RECT text{0, 0, std::max(1, ::GetSystemMetrics(SM_CXSCREEN) / 2), 0};
    if (text_.empty())
        text.bottom = du.Height, text.right = 0;
    else
        ::DrawTextW(dc.Get(), text_.c_str(), static_cast<int>(text_.size()), &text,
                    DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
    const int textHeight =
        std::max<int>(text.bottom - text.top, questionIcon_ ? ::GetSystemMetrics(SM_CYICON) : 0);
    textRect_ = RECT{hMargin + iconSpace, vMargin, hMargin + iconSpace + (text.right - text.left),
                     vMargin + textHeight};

    const int count = static_cast<int>(buttons_.size());
    const int rowWidth = count * buttonWidth_ + std::max(0, count - 1) * buttonGap_;
    clientSize_.cx = std::max<int>(textRect_.right - hMargin, rowWidth) + 2 * hMargin;
    buttonTop_ = textRect_.bottom + vSpacing;
    clientSize_.cy = buttonTop_ + buttonHeight_ + vMargin;
}

void TMessageForm::Create() {
    const wchar_t* cls = win32::RegisterWindowClass(L"TMessageForm", &TMessageForm::Procedure);
    const RECT frame = CentredFrame(clientSize_);
    window_.Reset(::CreateWindowExW(kFormExStyle, cls, caption_.c_str(), kFormStyle, frame.left, frame.top,
                                    frame.right - frame.left, frame.bottom - frame.top, ApplicationHandle(),
                                    nullptr, win32::ProgramInstance(), this));
    HWND form = window_.Get();
    if (!form)
        throw std::runtime_error("The notice dialog cannot be created");
    if (questionIcon_) {
        const int margin = textRect_.top;
        HWND icon =
            MakeChild(form, L"STATIC", L"", SS_ICON, RECT{margin, margin, margin, margin}, 0, nullptr);
        ::SendMessageW(
            icon, STM_SETICON,
            reinterpret_cast<WPARAM>(::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_QUESTION))), 0);
    }
    MakeChild(form, L"STATIC", text_, SS_LEFT, textRect_, kTextId, font_.Get());
    const int count = static_cast<int>(buttons_.size());
    const int rowWidth = count * buttonWidth_ + std::max(0, count - 1) * buttonGap_;
    int x = (clientSize_.cx - rowWidth) / 2;
    for (int i = 0; i < count; ++i) {
        const DWORD style = WS_TABSTOP | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        HWND button = MakeChild(form, L"BUTTON", buttons_[static_cast<std::size_t>(i)].Caption, style,
                                RECT{x, buttonTop_, x + buttonWidth_, buttonTop_ + buttonHeight_},
                                kFirstButtonId + i, font_.Get());
        if (i == 0)
            ::SetFocus(button);
        x += buttonWidth_ + buttonGap_;
    }
}

int TMessageForm::ShowModal() {
    Create();
    done_ = false;
    answer_ = cancelAnswer_;
    HWND form = window_.Get();
    RunModalLoop(form, done_, [this, form](const MSG& message) {
        const bool inForm = message.hwnd == form || ::IsChild(form, message.hwnd);
        if (inForm && message.message == WM_KEYDOWN && message.wParam == 'C' &&
            ::GetKeyState(VK_CONTROL) < 0) {
            ::MessageBeep(0);
            CopyToClipboard();
            return true;
        }
        return false;
    });
    window_.Reset();
    return answer_;
}

void TMessageForm::Finish(int answer) {
    answer_ = answer;
    done_ = true;
}

std::wstring TMessageForm::ClipboardText() const {
    const std::wstring rule(27, L'-');
    const std::wstring crlf = L"\r\n";
    std::wstring captions;
    for (const TDialogButton& button : buttons_)
        captions += WithoutAmpersands(button.Caption) + L"   ";
    return rule + crlf + caption_ + crlf + rule + crlf + text_ + crlf + rule + crlf + captions + crlf + rule +
           crlf;
}

void TMessageForm::CopyToClipboard() const {
    const std::wstring text = ClipboardText();
    if (!::OpenClipboard(window_.Get()))
        return;
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* target = ::GlobalLock(memory)) {
            std::memcpy(target, text.c_str(), bytes);
            ::GlobalUnlock(memory);
            // The clipboard owns the memory once it has taken it.
            if (!::SetClipboardData(CF_UNICODETEXT, memory))
                ::GlobalFree(memory);
        } else {
            ::GlobalFree(memory);
        }
    }
    ::CloseClipboard();
}

LRESULT CALLBACK TMessageForm::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* form = reinterpret_cast<TMessageForm*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return form->Handle(window, message, wParam, lParam);
}

LRESULT TMessageForm::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case DM_GETDEFID:
        return MAKELRESULT(kFirstButtonId, DC_HASDEFID);
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDCANCEL)
            Finish(cancelAnswer_);
        else if (id == IDOK)
            Finish(buttons_.front().Answer);
        else if (id >= kFirstButtonId && id < kFirstButtonId + static_cast<int>(buttons_.size()))
            Finish(buttons_[static_cast<std::size_t>(id - kFirstButtonId)].Answer);
        return 0;
    }
    case WM_CLOSE:
        Finish(cancelAnswer_);
        return 0;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    case WM_ERASEBKGND: {
        RECT area;
        ::GetClientRect(window, &area);
        ::FillRect(reinterpret_cast<HDC>(wParam), &area, ::GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// ---- The password input ----

namespace {

struct TQuery {
    bool Done = false;
    bool Accepted = false;
    HWND Edit = nullptr;
};

LRESULT CALLBACK QueryProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* query = reinterpret_cast<TQuery*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (query) {
        switch (message) {
        case DM_GETDEFID:
            return MAKELRESULT(IDOK, DC_HASDEFID);
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                query->Accepted = LOWORD(wParam) == IDOK;
                query->Done = true;
            }
            return 0;
        case WM_CLOSE:
            query->Done = true;
            return 0;
        case WM_ERASEBKGND: {
            RECT area;
            ::GetClientRect(window, &area);
            ::FillRect(reinterpret_cast<HDC>(wParam), &area, ::GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_CTLCOLORSTATIC:
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
        default:
            break;
        }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

bool InputQuery(const std::wstring& caption, const std::wstring& prompt, std::wstring& value) {
    win32::UniqueGdi<HFONT> font = win32::MessageFont();
    TDialogUnits du;
    int promptWidth = 0;
    {
        win32::ScreenDc dc;
        win32::SelectGuard selected(dc.Get(), font.Get());
        du = UnitsOf(dc.Get());
        promptWidth = CaptionWidth(dc.Get(), prompt);
    }
    // An input box of 180 by 63 dialog units: the prompt, the edit field below it, OK and Cancel under it.
    const SIZE client{du.X(180), du.Y(63)};
    const TMessageFormMetrics m = MessageFormMetrics(du);
    const int margin = m.HMargin;
    const int editTop = du.Y(19);
    const int buttonTop = du.Y(41);
    const int buttonWidth = m.ButtonWidth;
    const int buttonHeight = m.ButtonHeight;

    TQuery query;
    const wchar_t* cls = win32::RegisterWindowClass(L"TInputQueryForm", QueryProcedure);
    const RECT frame = CentredFrame(client);
    win32::UniqueWindow form(::CreateWindowExW(
        kFormExStyle, cls, caption.c_str(), kFormStyle, frame.left, frame.top, frame.right - frame.left,
        frame.bottom - frame.top, ApplicationHandle(), nullptr, win32::ProgramInstance(), &query));
    if (!form.Get())
        throw std::runtime_error("The password dialog cannot be created");
    MakeChild(form.Get(), L"STATIC", prompt, SS_LEFT | SS_NOPREFIX,
              RECT{margin, du.Y(6), margin + std::max<int>(promptWidth, client.cx - 2 * margin),
                   du.Y(6) + du.Height},
              kTextId, font.Get());
    query.Edit =
        MakeChild(form.Get(), L"EDIT", value, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_PASSWORD,
                  RECT{margin, editTop, client.cx - margin, editTop + du.Y(12)}, kEditId, font.Get());
    const int gap = m.ButtonGap;
    const int left = (client.cx - 2 * buttonWidth - gap) / 2;
    MakeChild(form.Get(), L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON,
              RECT{left, buttonTop, left + buttonWidth, buttonTop + buttonHeight}, IDOK, font.Get());
    MakeChild(
        form.Get(), L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON,
        RECT{left + buttonWidth + gap, buttonTop, left + 2 * buttonWidth + gap, buttonTop + buttonHeight},
        IDCANCEL, font.Get());
    ::SetFocus(query.Edit);
    ::SendMessageW(query.Edit, EM_SETSEL, 0, -1);

    RunModalLoop(form.Get(), query.Done, {});
    if (!query.Accepted)
        return false;
    const int length = ::GetWindowTextLengthW(query.Edit);
    std::wstring typed(static_cast<std::size_t>(length) + 1, L'\0');
    ::GetWindowTextW(query.Edit, typed.data(), length + 1);
    typed.resize(static_cast<std::size_t>(length));
    value = typed;
    return true;
}

} // namespace pc
