// patch-client.exe: the launcher program, wired to the real launcher core.
#include "launcher/config.h"
#include "launcher/launching.h"
#include "launcher/update_run.h"
#include "window/win32/run_launcher.h"

#include <utility>

int main() {
    pc::TLauncherCore core;
    core.FormCreate = [](pc::UiPort& ui) { pc::FormCreate(ui); };
    core.UpdateRun = [](pc::UiPort& ui, const std::string& url) { pc::UpdateRun(ui, url); };
    core.StartClient = [](pc::UiPort& ui) { pc::StartClient(ui); };
    core.OpenLink = [](pc::UiPort& ui, const std::string& url) { pc::OpenLink(ui, url); };
    core.Values = [] {
        const pc::LauncherConfig& config = pc::Config();
        return pc::TLauncherValues{config.serverName, config.patchListUrl, config.websiteUrl,
                                   config.controlPanelUrl, config.forumUrl};
    };
    return pc::RunLauncher(std::move(core));
}
