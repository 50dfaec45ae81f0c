// The window operations that the launcher core calls. The Qt window implements them; tests use a
// recording fake and patchctl a console implementation. All calls happen on the window thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pc {

class TMemo;        // the hidden text buffer (framework/text_buffer.h)
class TZipArchiver; // the window's archive component (archive/zip_archiver.h)

class UiPort {
public:
    virtual ~UiPort() = default;

    // Start-up and configuration
    virtual void SetApplicationTitle(const std::string& text) = 0;
    virtual std::string GetApplicationTitle() const = 0;
    virtual void SetWindowCaption(const std::string& text) = 0;
    virtual void SetServerLabel(const std::string& text) = 0;
    virtual void NavigateNews(const std::string& url) = 0;
    virtual void ArmPatchTimer() = 0;
    virtual std::unique_ptr<TMemo> CreateHiddenTextBuffer() = 0;
    virtual void DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) = 0;

    // Update run
    virtual void AppendLogLine(const std::string& text) = 0;
    // Puts `text` in place of the log's last line: a line that shows how a long step goes on, and then
    // how it ended.
    virtual void ReplaceLastLogLine(const std::string& text) = 0;
    virtual void SetProgressVisible(bool visible) = 0;
    virtual void SetProgressPosition(std::int32_t position) = 0;
    virtual void SetProgressMax(std::int32_t maximum) = 0;

    // Download
    virtual void StepProgress(std::int32_t delta) = 0;
    virtual void PumpMessages() = 0;

    // Notices and ending
    virtual void ShowMessageBox(const std::string& text) = 0;
    virtual void TerminateApplication() = 0;
    // Whether the application has been told to end (the Exit button) and a loop has taken the request:
    // long waits and downloads give up then instead of holding the player.
    virtual bool TerminationRequested() const = 0;

    // Why a download could not be made (HTTP status, connection error, time limit, hash mismatch), next to
    // the log line that names it. The window shows only the log line; patchctl prints the reason.
    virtual void ReportDownloadFailure(const std::string& name, const std::string& reason) {
        (void)name;
        (void)reason;
    }

    // Why the patch list was refused (a signature that does not verify, a list older than the one
    // accepted, an expired one), next to the log line that says so. The window shows only the log line;
    // patchctl prints the reason.
    virtual void ReportListRefused(const std::string& reason) { (void)reason; }

    // The archive component that the main window owns, with the window's settings.
    virtual TZipArchiver& ZipArchiver() = 0;
};

} // namespace pc
