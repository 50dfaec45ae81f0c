#include "window/launcher_core.h"

#include "launcher/config.h"
#include "launcher/install/settings.h"
#include "launcher/launching.h"
#include "launcher/net/download.h"
#include "launcher/repair/game_files.h"
#include "launcher/update_run.h"

namespace pc {

TLauncherCore RealLauncherCore() {
    TLauncherCore core;
    core.FormCreate = [](UiPort& ui) {
        FormCreate(ui);
        if (!Config().applicationDir.empty())
            DownloadSpeedLimit().store(StoredSpeedLimit(Config().applicationDir));
    };
    core.UpdateRun = [](UiPort& ui, const std::string& url) {
        TListSource list = Config().ListSource();
        list.url = url;
        UpdateRun(ui, Config().applicationDir, list);
    };
    core.StartClient = [](UiPort& ui) { StartClient(ui); };
    core.OpenLink = [](UiPort& ui, const std::string& url) { OpenLink(ui, url); };
    core.CheckGameFiles = [](UiPort& ui) {
        const LauncherConfig& config = Config();
        CheckGameFilesInWindow(ui, config.applicationDir, config.ListSource(),
                               [&ui, &config] { UpdateRun(ui, config.applicationDir, config.ListSource()); });
    };
    core.SpeedLimit = [] { return DownloadSpeedLimit().load(); };
    core.SetSpeedLimit = [](UiPort&, std::int64_t bytesPerSecond) {
        DownloadSpeedLimit().store(bytesPerSecond);
        // The running download follows at once; what could not be kept is told by the error box.
        StoreSpeedLimit(Config().applicationDir, bytesPerSecond);
    };
    core.Values = [] {
        const LauncherConfig& config = Config();
        return TLauncherValues{config.serverName,      config.patchListUrl, config.websiteUrl,
                               config.controlPanelUrl, config.forumUrl,     config.newsUrl};
    };
    return core;
}

} // namespace pc
