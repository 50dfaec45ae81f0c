// A dialog provider for tests: answers come from a script given in advance, and every dialog shown is
// recorded with its text so that tests can compare what the user would have seen.
#pragma once

#include "archive/dialog_provider.h"

#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pc::testing {

class ScriptedDialogs : public TZADialogProvider {
public:
    enum Kind { kFailure, kOverwrite, kPassword };

    struct Shown {
        Kind kind;
        std::string text; // failure and overwrite: the text; password: the caption
        TZAFailureButtons buttons = fbAbortRetryIgnore;
        std::string prompt;  // password only
        std::string initial; // password only
    };

    // Queue answers in the order the dialogs are expected. A dialog with no answer left fails the test
    // by throwing, so an unexpected dialog is never silently answered.
    ScriptedDialogs& Answer(TZADialogAnswer answer) {
        answers_.push_back(answer);
        return *this;
    }
    ScriptedDialogs& AnswerPassword(std::optional<std::string> password) {
        passwords_.push_back(std::move(password));
        return *this;
    }

    const std::vector<Shown>& shown() const { return shown_; }
    bool AllAnswersUsed() const { return answers_.empty() && passwords_.empty(); }

    TZADialogAnswer ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) override {
        shown_.push_back({kFailure, text, buttons, {}, {}});
        return Next("failure dialog: " + text);
    }

    TZADialogAnswer ShowOverwriteDialog(const std::string& text) override {
        shown_.push_back({kOverwrite, text, fbAbortRetryIgnore, {}, {}});
        return Next("overwrite dialog: " + text);
    }

    std::optional<std::string> ShowPasswordDialog(const std::string& caption, const std::string& prompt,
                                                  const std::string& initial) override {
        shown_.push_back({kPassword, caption, fbAbortRetryIgnore, prompt, initial});
        if (passwords_.empty())
            throw std::logic_error("unexpected password dialog: " + caption);
        auto answer = std::move(passwords_.front());
        passwords_.pop_front();
        return answer;
    }

private:
    TZADialogAnswer Next(const std::string& what) {
        if (answers_.empty())
            throw std::logic_error("unexpected " + what);
        TZADialogAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::deque<TZADialogAnswer> answers_;
    std::deque<std::optional<std::string>> passwords_;
    std::vector<Shown> shown_;
};

} // namespace pc::testing
