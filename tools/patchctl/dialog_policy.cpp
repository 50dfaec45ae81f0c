#include "tools/patchctl/dialog_policy.h"

#include "archive/code_pages.h"
#include "archive/decode.h"
#include "archive/dir_manager.h"
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
    archiver_ = &archiver;
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
    // The component's text cannot tell which entry failed, nor that its method is one not decoded here.
    if (archiver_ && archiver_->DirManager() && !currentEntry_.empty()) {
        TZADirArray& items = archiver_->DirManager()->Items;
        const std::int32_t i = items.IndexOfName(currentEntry_);
        if (i >= 0 && IsForeignUndecodedMethod(items.Item(i).Method))
            std::fprintf(stderr, "%s: %s: compressed with %s (method %u), which is not supported\n",
                         command_.c_str(), WideToUtf8(currentEntry_).c_str(),
                         CompressionMethodName(items.Item(i).Method), unsigned{items.Item(i).Method});
    }
    switch (policy_) {
    case FailurePolicy::Ignore:
        ++leftOut_;
        return daIgnore;
    case FailurePolicy::RetryOnce:
        if (buttons == fbAbortRetryIgnore && !retriedEntry_) {
            retriedEntry_ = currentEntry_;
            return daRetry;
        }
        ++leftOut_;
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
    ++leftOut_;
    return std::nullopt;
}

} // namespace pc::patchctl
