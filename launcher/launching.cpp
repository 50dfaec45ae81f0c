#include "launcher/launching.h"

#include "framework/helpers.h"
#include "launcher/config.h"
#include "launcher/ui_port.h"

namespace pc {

namespace {

void TellWineIsMissing(UiPort& ui, const std::string& commandLine) {
    ui.ShowMessageBox("Windows programs need Wine, which is not installed [" +
                      SplitCommandLine(commandLine).program + "]");
}

} // namespace

bool RunProgram(const std::string& commandLine, bool wait) {
    return StartProcess(commandLine, wait) == TStartResult::srStarted;
}

bool RunProgram(UiPort& ui, const std::string& commandLine, bool wait) {
    const TStartResult result = StartProcess(commandLine, wait);
    if (result == TStartResult::srNeedsWine)
        TellWineIsMissing(ui, commandLine);
    return result == TStartResult::srStarted;
}

void StartClient(UiPort& ui) {
    StartClient(ui, Config().applicationDir, Config().clientExe);
}

void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe) {
    const std::string path = appDir + clientExe;
    if (IsExistingFile(path)) {
        // A client that cannot run without Wine keeps the launcher open to say so.
        if (StartProcess(path, false) == TStartResult::srNeedsWine) {
            TellWineIsMissing(ui, path);
            return;
        }
        ui.TerminateApplication();
    } else {
        ui.ShowMessageBox("KV Client cannot be found! [" + path + "]");
    }
}

void OpenLink(UiPort& ui, const std::string& url) {
    OpenLink(ui, Config().defaultBrowserPath, url);
}

void OpenLink(UiPort& ui, const std::string& browserPath, const std::string& url) {
    if (IsExistingFile(browserPath))
        RunProgram(ui, "\"" + browserPath + "\" " + url, false);
    else
        ui.ShowMessageBox("Default Browser cannot be located [" + browserPath + "]");
}

} // namespace pc
