#include "window/win32/dialog_provider.h"

#include "window/win32/message_form.h"

namespace pc {

namespace {

constexpr wchar_t kConfirmCaption[] = L"Confirm";

// A confirmation-style question; Esc and closing the form give daClosed.
TZADialogAnswer Ask(const std::string& text, std::vector<TDialogButton> buttons) {
    TMessageForm form(win32::DisplayText(text), kConfirmCaption, std::move(buttons), daClosed, true);
    return static_cast<TZADialogAnswer>(form.ShowModal());
}

} // namespace

TZADialogAnswer TWin32DialogProvider::ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) {
    if (buttons == fbAbortIgnore)
        return Ask(text, {{L"&Abort", daAbort}, {L"&Ignore", daIgnore}});
    return Ask(text, {{L"&Abort", daAbort}, {L"&Retry", daRetry}, {L"&Ignore", daIgnore}});
}

TZADialogAnswer TWin32DialogProvider::ShowOverwriteDialog(const std::string& text) {
    return Ask(text,
               {{L"&Yes", daYes}, {L"&No", daNo}, {L"N&o to All", daNoToAll}, {L"Yes to &All", daYesToAll}});
}

std::optional<std::string> TWin32DialogProvider::ShowPasswordDialog(const std::string& caption,
                                                                    const std::string& prompt,
                                                                    const std::string& initial) {
    std::wstring value = win32::DisplayText(initial);
    if (!InputQuery(win32::DisplayText(caption), win32::DisplayText(prompt), value))
        return std::nullopt;
    return win32::FromDisplayText(value);
}

} // namespace pc
