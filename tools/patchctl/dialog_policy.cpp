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

void PolicyDialogs::Attach(TZABaseArchiver& archiver) {
    // A retry runs the entry again from its confirmation, so the name seen here is the failing entry's.
    archiver.OnConfirmProcessFile = [this](TZABaseArchiver&, const std::u16string& fileName,
                                           TZAProcessOperation, bool&) { currentEntry_ = fileName; };
}

TZADialogAnswer PolicyDialogs::ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) {
    ++failures_;
    std::fprintf(stderr, "%s\n", text.c_str());
    switch (policy_) {
    case FailurePolicy::Ignore:
        return daIgnore;
    case FailurePolicy::RetryOnce:
        if (buttons == fbAbortRetryIgnore && retried_.insert(currentEntry_).second)
            return daRetry;
        return daAbort;
    case FailurePolicy::Abort:
        break;
    }
    return daAbort;
}

TZADialogAnswer PolicyDialogs::ShowOverwriteDialog(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return daNo;
}

std::optional<std::string> PolicyDialogs::ShowPasswordDialog(const std::string& caption, const std::string&,
                                                             const std::string&) {
    ++passwordsCancelled_;
    std::fprintf(stderr, "%s: no password given, entry skipped\n", caption.c_str());
    return std::nullopt;
}

} // namespace pc::patchctl
