// The archive component's dialogs answered from the command line instead of by a user: each failure text
// goes to stderr and is answered by the chosen policy; password prompts are cancelled.
#pragma once

#include "archive/dialog_provider.h"

#include <optional>
#include <set>
#include <string>

namespace pc {
class TZABaseArchiver;
}

namespace pc::patchctl {

enum class FailurePolicy { Abort, Ignore, RetryOnce };

// "abort", "ignore" or "retry-once"; nothing for any other text.
std::optional<FailurePolicy> ParseFailurePolicy(const std::string& text);

class PolicyDialogs : public TZADialogProvider {
public:
    explicit PolicyDialogs(FailurePolicy policy) : policy_(policy) {}

    // Follows which entry the component is working on, so that retry-once retries each entry once. Only
    // watches: every entry is still confirmed, as without a handler.
    void Attach(TZABaseArchiver& archiver);

    TZADialogAnswer ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) override;
    // Overwriting is decided by the component's mode; a prompt, should one come, declines.
    TZADialogAnswer ShowOverwriteDialog(const std::string& text) override;
    std::optional<std::string> ShowPasswordDialog(const std::string& caption, const std::string& prompt,
                                                  const std::string& initial) override;

    int FailuresShown() const { return failures_; }
    int PasswordsCancelled() const { return passwordsCancelled_; }

private:
    FailurePolicy policy_;
    std::u16string currentEntry_;
    std::set<std::u16string> retried_;
    int failures_ = 0;
    int passwordsCancelled_ = 0;
};

} // namespace pc::patchctl
