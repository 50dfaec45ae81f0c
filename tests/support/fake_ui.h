// A recording stand-in for the launcher window: every call is kept, in order, as "Name:argument" (or
// "Name" for calls without an argument), and the window state the core can change is kept alongside.
#pragma once

#include "launcher/ui_port.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pc::test {

class RecordingUi : public UiPort {
public:
    RecordingUi();
    ~RecordingUi() override;

    // UiPort
    void SetApplicationTitle(const std::string& text) override;
    std::string GetApplicationTitle() const override;
    void SetWindowCaption(const std::string& text) override;
    void SetServerLabel(const std::string& text) override;
    void NavigateNews(const std::string& url) override;
    void ArmPatchTimer() override;
    std::unique_ptr<TMemo> CreateHiddenTextBuffer() override;
    void DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) override;
    void AppendLogLine(const std::string& text) override;
    void ReplaceLastLogLine(const std::string& text) override;
    void SetProgressVisible(bool visible) override;
    void SetProgressPosition(std::int32_t position) override;
    void SetProgressMax(std::int32_t maximum) override;
    void StepProgress(std::int32_t delta) override;
    void PumpMessages() override;
    void ShowMessageBox(const std::string& text) override;
    void TerminateApplication() override;
    bool TerminationRequested() const override { return terminated; }
    void ReportDownloadFailure(const std::string& name, const std::string& reason) override;
    TZipArchiver& ZipArchiver() override;

    // Test controls
    void SetZipArchiver(TZipArchiver* archiver) { archiver_ = archiver; }
    // NavigateNews raises this error (after recording the call), as a view that rejects the request.
    void FailNavigation(std::exception_ptr error) { navigateError_ = std::move(error); }
    // Runs inside PumpMessages, as a click or timer handled during a download would.
    void OnPump(std::function<void()> handler) { onPump_ = std::move(handler); }
    // Runs inside ShowMessageBox while the notice is up.
    void OnMessageBox(std::function<void(const std::string&)> handler) { onMessageBox_ = std::move(handler); }

    // What happened
    std::vector<std::string> calls; // every call in order
    std::vector<std::string>
        logLines;        // the log's lines: AppendLogLine texts, the last replaced by ReplaceLastLogLine
    std::string logText; // the log memo's text by the line-view append rule
    std::vector<std::string> messageBoxes; // notice texts, each with the caption it had: see boxCaptions
    std::vector<std::string> boxCaptions;
    std::string title;
    std::string caption;
    std::string serverLabel;
    std::string newsUrl;
    bool armed = false;
    int terminateRequests = 0;
    bool terminated = false; // what TerminationRequested answers; a test sets it, e.g. from OnPump
    std::vector<std::string> downloadFailures; // "name: reason" of each ReportDownloadFailure
    int pumps = 0;
    bool progressVisible = false;
    std::int32_t progressPosition = 0;
    std::int32_t progressMax = 100; // the bar's designed maximum
    int buffersCreated = 0;
    int buffersDestroyed = 0;

    // Only the calls whose name is `name` ("AppendLogLine", ...), as recorded.
    std::vector<std::string> CallsNamed(const std::string& name) const;

private:
    TZipArchiver* archiver_ = nullptr;
    std::exception_ptr navigateError_;
    std::function<void()> onPump_;
    std::function<void(const std::string&)> onMessageBox_;
};

} // namespace pc::test
