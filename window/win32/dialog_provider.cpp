#include "window/win32/dialog_provider.h"

#include "window/win32/message_form.h"

namespace pc {

namespace {

constexpr wchar_t kConfirmCaption[] = L"Confirm";

// A confirmation-style question; Esc and closing the form give `onClose`.
TZADialogAnswer Ask(const std::string& text, std::vector<TDialogButton> buttons, TZADialogAnswer onClose) {
    TMessageForm form(win32::DisplayText(text), kConfirmCaption, std::move(buttons), daClosed, true);
    const int answer = form.ShowModal();
    return answer == daClosed ? onClose : static_cast<TZADialogAnswer>(answer);
}

} // namespace

TZADialogAnswer TWin32DialogProvider::ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) {
    if (buttons == fbAbortIgnore)
        return Ask(text, {{L"&Abort", daAbort}, {L"&Ignore", daIgnore}}, daClosed);
    return Ask(text, {{L"&Abort", daAbort}, {L"&Retry", daRetry}, {L"&Ignore", daIgnore}}, daClosed);
}

TZADialogAnswer TWin32DialogProvider::ShowOverwriteDialog(const std::string& text) {
    return Ask(text,
               {{L"&Yes", daYes}, {L"&No", daNo}, {L"N&o to All", daNoToAll}, {L"Yes to &All", daYesToAll}},
               daClosed);
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
