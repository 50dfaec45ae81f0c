#include "launcher/launching.h"

#include "framework/helpers.h"
#include "launcher/config.h"
#include "launcher/ui_port.h"

namespace pc {

bool RunProgram(const std::string& commandLine, bool wait) {
    return StartProcess(commandLine, wait);
}

void StartClient(UiPort& ui) {
    StartClient(ui, Config().applicationDir, Config().clientExe);
}

void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe) {
    const std::string path = appDir + clientExe;
    if (IsExistingFile(path)) {
        RunProgram(path, false);
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
        RunProgram("\"" + browserPath + "\" " + url, false);
    else
        ui.ShowMessageBox("Default Browser cannot be located [" + browserPath + "]");
}

} // namespace pc
