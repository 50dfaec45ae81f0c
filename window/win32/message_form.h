// The notice dialog, TMessageForm: a message, a row of buttons, laid out in dialog units of the message
// font, run modally by a message loop of its own. The archive component's questions are the same form
// with the question icon and their own buttons.
#pragma once

#include "window/win32/win32_window.h"

#include <string>
#include <vector>

namespace pc {

struct TDialogButton {
    std::wstring Caption; // '&' marks the accelerator
    int Answer;
};

class TMessageForm {
public:
    // The first button is the default (Enter); `cancelAnswer` is what Esc, closing the form and the
    // application's end give.
    TMessageForm(std::wstring text, std::wstring caption,
                 std::vector<TDialogButton> buttons = {{L"OK", IDOK}}, int cancelAnswer = IDOK,
                 bool questionIcon = false);
    ~TMessageForm();
    TMessageForm(const TMessageForm&) = delete;
    TMessageForm& operator=(const TMessageForm&) = delete;

    // Shows the form centred on the screen with the program's other windows disabled, runs the loop until
    // a button, Enter, Esc or closing ends it (or the next message once the application is ending), and
    // returns the answer.
    int ShowModal();

    // The block that Ctrl+C puts on the clipboard.
    std::wstring ClipboardText() const;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Layout();
    void Create();
    void Finish(int answer);
    void CopyToClipboard() const;

    std::wstring text_;
    std::wstring caption_;
    std::vector<TDialogButton> buttons_;
    int cancelAnswer_;
    bool questionIcon_;
    win32::UniqueGdi<HFONT> font_;
    win32::UniqueWindow window_;
    RECT textRect_{};
    SIZE clientSize_{};
    int buttonWidth_ = 0;
    int buttonHeight_ = 0;
    int buttonTop_ = 0;
    int buttonGap_ = 0;
    int answer_ = 0;
    bool done_ = false;
};

// The password input of the archive component: `prompt` before an edit field holding `initial`, OK and
// Cancel. True with the typed text on OK.
bool InputQuery(const std::wstring& caption, const std::wstring& prompt, std::wstring& value);

} // namespace pc
