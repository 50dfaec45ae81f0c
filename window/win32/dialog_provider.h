// The archive component's built-in dialogs on Win32: entry failures, overwrite questions and the password
// input. Each runs modally, so the window keeps painting and its timers keep ticking meanwhile.
#pragma once

#include "archive/dialog_provider.h"

namespace pc {

class TWin32DialogProvider : public TZADialogProvider {
public:
    TZADialogAnswer ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) override;
    TZADialogAnswer ShowOverwriteDialog(const std::string& text) override;
    std::optional<std::string> ShowPasswordDialog(const std::string& caption, const std::string& prompt,
                                                  const std::string& initial) override;
};

} // namespace pc
