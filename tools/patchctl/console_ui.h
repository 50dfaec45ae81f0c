// The launcher's window operations on a terminal, for running the launcher's core headless: log lines to
// stdout, progress on stderr when stderr is a terminal, notices on stderr, no messages to pump. A log
// line that is written over (a download's progress line) is written over on a terminal; elsewhere only
// its last text is printed.
#pragma once

#include "archive/zip_archiver.h"
#include "launcher/ui_port.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace pc::patchctl {

class ConsoleUi : public UiPort {
public:
    // `archiver` is the component that the run extracts with, set up by the caller.
    explicit ConsoleUi(TZipArchiver& archiver);
    ~ConsoleUi() override;

    void SetApplicationTitle(const std::string& text) override { title_ = text; }
    std::string GetApplicationTitle() const override { return title_.substr(0, 255); }
    void SetWindowCaption(const std::string&) override {}
    void SetServerLabel(const std::string&) override {}
    void NavigateNews(const std::string&) override {}
    void ArmPatchTimer() override { armed_ = true; }
    std::unique_ptr<TMemo> CreateHiddenTextBuffer() override;
    void DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) override;

    void AppendLogLine(const std::string& text) override;
    void ReplaceLastLogLine(const std::string& text) override;
    void SetProgressVisible(bool visible) override;
    void SetProgressPosition(std::int32_t position) override;
    void SetProgressMax(std::int32_t maximum) override; // EInvalidOperation below 0, as the window's bar
    void StepProgress(std::int32_t delta) override;
    void PumpMessages() override {}

    void ShowMessageBox(const std::string& text) override;
    // The command ends by itself after the run; start-up that could not arm it is told by Armed().
    void TerminateApplication() override {}
    bool TerminationRequested() const override { return false; } // a terminal has no Exit button
    void ReportDownloadFailure(const std::string& name, const std::string& reason) override;
    void ReportListRefused(const std::string& reason) override;
    // The run turns to the extraction: a line held back is final by now and is printed first.
    TZipArchiver& ZipArchiver() override {
        PrintHeldLine();
        return archiver_;
    }

    // Whether start-up armed the update run.
    bool Armed() const { return armed_; }
    // How many rows could not be downloaded in this run.
    int DownloadFailures() const { return downloadFailures_; }
    // Whether the patch list was refused (signature, serial, expiry).
    bool ListRefused() const { return listRefused_; }

private:
    void Draw(bool force);
    void Erase();
    void PrintLine(const std::string& text);
    void PrintHeldLine();

    TZipArchiver& archiver_;
    std::string title_;
    bool armed_ = false;
    int downloadFailures_ = 0;
    bool listRefused_ = false;
    bool terminal_ = false;       // stderr is a terminal: the bar is drawn there
    bool outputTerminal_ = false; // stdout is a terminal: a line written can be written over
    // Off a terminal, a line logged while the bar is up may still be written over; it is printed once
    // something else comes.
    bool holding_ = false;
    std::string held_;
    bool visible_ = false;
    bool drawn_ = false;
    std::int32_t position_ = 0;
    std::int32_t maximum_ = 100;
    std::chrono::steady_clock::time_point lastDraw_;
};

// The installation directory named on the command line as the launcher knows its own: absolute, ending
// with the platform's separator. UsageError when it is no directory.
std::string InstallationDirectory(const std::string& dir);

} // namespace pc::patchctl
