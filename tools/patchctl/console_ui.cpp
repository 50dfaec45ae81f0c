#include "tools/patchctl/console_ui.h"

#include "framework/console.h"
#include "framework/exceptions.h"
#include "framework/text_buffer.h"
#include "tools/patchctl/arguments.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace pc::patchctl {
namespace {

constexpr int kBarWidth = 40;
// Downloads step the bar every 1024 bytes; the terminal is redrawn at most this often.
constexpr std::chrono::milliseconds kRedrawInterval{100};

} // namespace

ConsoleUi::ConsoleUi(TZipArchiver& archiver)
    : archiver_(archiver), terminal_(IsErrorStreamTerminal()), outputTerminal_(IsOutputStreamTerminal()) {}

ConsoleUi::~ConsoleUi() {
    Erase();
    PrintHeldLine();
}

std::unique_ptr<TMemo> ConsoleUi::CreateHiddenTextBuffer() {
    return std::make_unique<TMemo>();
}

void ConsoleUi::DestroyHiddenTextBuffer(std::unique_ptr<TMemo>) {}

void ConsoleUi::AppendLogLine(const std::string& text) {
    PrintHeldLine();
    if (!outputTerminal_ && visible_) {
        held_ = text;
        holding_ = true;
        return;
    }
    PrintLine(text);
}

void ConsoleUi::ReplaceLastLogLine(const std::string& text) {
    if (holding_) {
        held_ = text;
        return;
    }
    if (!outputTerminal_) {
        PrintLine(text); // what was printed stays; the new text follows it
        return;
    }
    const bool wasDrawn = drawn_;
    Erase();
    // Up to the last line, over it from its start.
    std::fputs("\033[A\r\033[K", stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (wasDrawn)
        Draw(true);
}

void ConsoleUi::PrintLine(const std::string& text) {
    // The line must not land in the middle of the bar when both go to one terminal; a bar that was up
    // comes back below it.
    const bool wasDrawn = drawn_;
    Erase();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (wasDrawn)
        Draw(true);
}

void ConsoleUi::PrintHeldLine() {
    if (!holding_)
        return;
    holding_ = false;
    PrintLine(held_);
}

void ConsoleUi::SetProgressVisible(bool visible) {
    visible_ = visible;
    if (!visible) {
        Erase();
        PrintHeldLine();
    }
}

void ConsoleUi::SetProgressPosition(std::int32_t position) {
    position_ = std::clamp(position, 0, maximum_);
}

void ConsoleUi::SetProgressMax(std::int32_t maximum) {
    if (maximum < 0)
        throw EInvalidOperation("TProgressBar property out of range");
    maximum_ = maximum;
    position_ = std::min(position_, maximum_);
}

void ConsoleUi::StepProgress(std::int32_t delta) {
    const std::int64_t next = static_cast<std::int64_t>(position_) + delta;
    position_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(next, 0, maximum_));
    Draw(false);
}

void ConsoleUi::ShowMessageBox(const std::string& text) {
    PrintHeldLine();
    const bool wasDrawn = drawn_;
    Erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    if (wasDrawn)
        Draw(true);
}

void ConsoleUi::ReportDownloadFailure(const std::string& name, const std::string& reason) {
    ++downloadFailures_;
    PrintHeldLine();
    const bool wasDrawn = drawn_;
    Erase();
    std::fprintf(stderr, "patchctl update: cannot download %s: %s\n", name.c_str(), reason.c_str());
    if (wasDrawn)
        Draw(true);
}

void ConsoleUi::ReportListRefused(const std::string& reason) {
    listRefused_ = true;
    const bool wasDrawn = drawn_;
    Erase();
    std::fprintf(stderr, "patchctl update: the patch list is refused: %s\n", reason.c_str());
    if (wasDrawn)
        Draw(true);
}

void ConsoleUi::Draw(bool force) {
    if (!terminal_ || !visible_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;
    const int permille = maximum_ == 0 ? 1000 : static_cast<int>(std::int64_t{position_} * 1000 / maximum_);
    const int filled = permille * kBarWidth / 1000;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(stderr, "\r[%s] %3d.%d%%  %d / %d bytes", bar.c_str(), permille / 10, permille % 10,
                 position_, maximum_);
    std::fflush(stderr);
    drawn_ = true;
}

void ConsoleUi::Erase() {
    if (!drawn_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

std::string InstallationDirectory(const std::string& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error))
        throw UsageError("'" + dir + "' is not a directory");
    std::string appDir = std::filesystem::absolute(dir).lexically_normal().string();
    constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
    if (appDir.empty() || (appDir.back() != '/' && appDir.back() != kSeparator))
        appDir += kSeparator;
    return appDir;
}

} // namespace pc::patchctl
