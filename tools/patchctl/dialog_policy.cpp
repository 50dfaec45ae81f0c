#include "tools/patchctl/dialog_policy.h"

#include "archive/zip_archiver.h"

#include <cstdio>

namespace pc::patchctl {

std::optional<FailurePolicy> ParseFailurePolicy(const std::string& text) {
    if (text == "abort")
        return FailurePolicy::Abort;
    if (text == "ignore")
        return FailurePolicy::Ignore;
    if (text == "retry-once")
        return FailurePolicy::RetryOnce;
    return std::nullopt;
}

PolicyDialogs::PolicyDialogs(FailurePolicy policy, std::string command)
    : policy_(policy), command_(std::move(command)) {}

void PolicyDialogs::Attach(TZABaseArchiver& archiver) {
    // Every attempt at an entry, a retry included, starts with its confirmation.
    archiver.OnConfirmProcessFile = [this](TZABaseArchiver&, const std::u16string& fileName,
                                           TZAProcessOperation, bool&) {
        if (retriedEntry_ && *retriedEntry_ != fileName)
            retriedEntry_.reset();
        currentEntry_ = fileName;
        skipped_ = false;
    };
}

TZADialogAnswer PolicyDialogs::ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) {
    std::fprintf(stderr, "%s\n", text.c_str());
    switch (policy_) {
    case FailurePolicy::Ignore:
        return daIgnore;
    case FailurePolicy::RetryOnce:
        if (buttons == fbAbortRetryIgnore && !retriedEntry_) {
            retriedEntry_ = currentEntry_;
            return daRetry;
        }
        return daIgnore;
    case FailurePolicy::Abort:
        break;
    }
    return daAbort;
}

TZADialogAnswer PolicyDialogs::ShowOverwriteDialog(const std::string&) {
    return daNo;
}

std::optional<std::string> PolicyDialogs::ShowPasswordDialog(const std::string& caption, const std::string&,
                                                             const std::string&) {
    std::fprintf(stderr, "%s: %s not given or wrong; entry skipped\n", command_.c_str(), caption.c_str());
    skipped_ = true;
    return std::nullopt;
}

} // namespace pc::patchctl
