// The archive component's built-in dialogs, as an interface: the window shows them with Qt, patchctl
// answers them from its command-line policy, and tests answer them from a script.
//
// Every dialog is modal: the provider returns only when the user has answered, and while it waits the
// window's own messages keep being handled. Texts arrive complete (UTF-8) and are shown as they stand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pc {

// The buttons of the failure dialog.
enum TZAFailureButtons : std::uint8_t {
    fbAbortRetryIgnore, // every entry failure the extraction raises
    fbAbortIgnore,      // failures where a retry cannot help
};

// What the user did with a dialog. daClosed: the dialog was closed without pressing a button.
enum TZADialogAnswer : std::uint8_t {
    daAbort,
    daRetry,
    daIgnore,
    daYes,
    daNo,
    daNoToAll,
    daYesToAll,
    daClosed,
};

class TZADialogProvider {
public:
    virtual ~TZADialogProvider() = default;

    // A per-entry failure, confirmation style: the text and the given buttons. Returns daAbort, daRetry
    // (only with fbAbortRetryIgnore), daIgnore or daClosed.
    virtual TZADialogAnswer ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) = 0;

    // Whether to replace an existing file, confirmation style: the text and the buttons Yes, No,
    // No to All and Yes to All. Returns daYes, daNo, daNoToAll, daYesToAll or daClosed.
    virtual TZADialogAnswer ShowOverwriteDialog(const std::string& text) = 0;

    // The password input: a window captioned `caption`, the `prompt` before an edit field that starts
    // with `initial`, and OK and Cancel. Returns the text as typed on OK, nothing on Cancel or close.
    virtual std::optional<std::string>
    ShowPasswordDialog(const std::string& caption, const std::string& prompt, const std::string& initial) = 0;
};

} // namespace pc
