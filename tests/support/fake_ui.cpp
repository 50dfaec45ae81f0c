#include "tests/support/fake_ui.h"

#include "framework/exceptions.h"
#include "framework/text_buffer.h"

#include <algorithm>

namespace pc::test {

RecordingUi::RecordingUi() = default;
RecordingUi::~RecordingUi() = default;

void RecordingUi::SetApplicationTitle(const std::string& text) {
    calls.push_back("SetApplicationTitle:" + text);
    title = text;
}

std::string RecordingUi::GetApplicationTitle() const {
    return title.substr(0, 255);
}

void RecordingUi::SetWindowCaption(const std::string& text) {
    calls.push_back("SetWindowCaption:" + text);
    caption = text;
}

void RecordingUi::SetServerLabel(const std::string& text) {
    calls.push_back("SetServerLabel:" + text);
    serverLabel = text;
}

void RecordingUi::NavigateNews(const std::string& url) {
    calls.push_back("NavigateNews:" + url);
    if (navigateError_)
        std::rethrow_exception(navigateError_);
    newsUrl = url;
}

void RecordingUi::ArmPatchTimer() {
    calls.push_back("ArmPatchTimer");
    armed = true;
}

std::unique_ptr<TMemo> RecordingUi::CreateHiddenTextBuffer() {
    calls.push_back("CreateHiddenTextBuffer");
    ++buffersCreated;
    return std::make_unique<TMemo>();
}

void RecordingUi::DestroyHiddenTextBuffer(std::unique_ptr<TMemo> buffer) {
    calls.push_back("DestroyHiddenTextBuffer");
    if (buffer)
        ++buffersDestroyed;
}

void RecordingUi::AppendLogLine(const std::string& text) {
    calls.push_back("AppendLogLine:" + text);
    logLines.push_back(text);
    AppendMemoLine(logText, text);
}

void RecordingUi::ReplaceLastLogLine(const std::string& text) {
    calls.push_back("ReplaceLastLogLine:" + text);
    if (logLines.empty())
        logLines.push_back(text);
    else
        logLines.back() = text;
    ReplaceLastMemoLine(logText, text);
}

void RecordingUi::SetProgressVisible(bool visible) {
    calls.push_back(std::string("SetProgressVisible:") + (visible ? "true" : "false"));
    progressVisible = visible;
}

void RecordingUi::SetProgressPosition(std::int32_t position) {
    calls.push_back("SetProgressPosition:" + std::to_string(position));
    progressPosition = std::clamp(position, 0, progressMax);
}

void RecordingUi::SetProgressMax(std::int32_t maximum) {
    calls.push_back("SetProgressMax:" + std::to_string(maximum));
    // The bar's minimum stays 0; a maximum below it is refused and changes nothing.
    if (maximum < 0)
        throw EInvalidOperation("TProgressBar property out of range");
    progressMax = maximum;
    progressPosition = std::min(progressPosition, progressMax);
}

void RecordingUi::StepProgress(std::int32_t delta) {
    calls.push_back("StepProgress:" + std::to_string(delta));
    const std::int64_t next = static_cast<std::int64_t>(progressPosition) + delta;
    progressPosition = static_cast<std::int32_t>(std::clamp<std::int64_t>(next, 0, progressMax));
}

void RecordingUi::PumpMessages() {
    calls.push_back("PumpMessages");
    ++pumps;
    if (onPump_)
        onPump_();
}

void RecordingUi::ShowMessageBox(const std::string& text) {
    calls.push_back("ShowMessageBox:" + text);
    messageBoxes.push_back(text);
    boxCaptions.push_back(title);
    if (onMessageBox_)
        onMessageBox_(text);
}

void RecordingUi::ReportDownloadFailure(const std::string& name, const std::string& reason) {
    downloadFailures.push_back(name + ": " + reason);
}

void RecordingUi::TerminateApplication() {
    calls.push_back("TerminateApplication");
    ++terminateRequests;
}

TZipArchiver& RecordingUi::ZipArchiver() {
    calls.push_back("ZipArchiver");
    if (archiver_ == nullptr)
        throw Exception("test set-up: no archive component given to the recording window");
    return *archiver_;
}

std::vector<std::string> RecordingUi::CallsNamed(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& call : calls)
        if (call == name || call.rfind(name + ":", 0) == 0)
            out.push_back(call);
    return out;
}

} // namespace pc::test
