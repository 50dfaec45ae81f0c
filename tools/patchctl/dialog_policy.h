// The archive component's built-in dialogs answered without a person, for patchctl: each failure is
// printed on stderr as the dialog would show it and answered by the command line's policy; a password
// prompt is cancelled, so an entry whose password is missing or wrong is skipped.
#pragma once

#include "archive/dialog_provider.h"

#include <optional>
#include <string>

namespace pc {
class TZABaseArchiver;
}

namespace pc::patchctl {

// abort: end the extraction at the failure; ignore: go on with the next entry; retry-once: try the entry
// once more, then go on.
enum class FailurePolicy { Abort, Ignore, RetryOnce };

// "abort", "ignore" or "retry-once"; nothing for any other text.
std::optional<FailurePolicy> ParseFailurePolicy(const std::string& text);

class PolicyDialogs : public TZADialogProvider {
public:
    // `command` ("patchctl extract") starts the notices that are not the component's own texts.
    PolicyDialogs(FailurePolicy policy, std::string command);

    // Follows the component's entries, so that a retry is given once per entry and a skipped password is
    // told per entry. It only watches: every entry is still confirmed, as without a handler.
    void Attach(TZABaseArchiver& archiver);

    // Whether the password prompt was cancelled for the entry under way.
    bool EntrySkipped() const { return skipped_; }
    // How many entries were left out so far: failures answered Ignore, and entries whose password was
    // not given.
    int EntriesLeftOut() const { return leftOut_; }

    TZADialogAnswer ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) override;
    // Replacing is decided by the component's overwrite mode; a prompt, should one come, declines.
    TZADialogAnswer ShowOverwriteDialog(const std::string& text) override;
    std::optional<std::string> ShowPasswordDialog(const std::string& caption, const std::string& prompt,
                                                  const std::string& initial) override;

private:
    FailurePolicy policy_;
    std::string command_;
    std::u16string currentEntry_;
    TZABaseArchiver* archiver_ = nullptr;
    std::optional<std::u16string> retriedEntry_;
    bool skipped_ = false;
    int leftOut_ = 0;
};

} // namespace pc::patchctl
