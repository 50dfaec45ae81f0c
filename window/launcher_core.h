// The launcher core as the window sees it. The program wires the real start-up, update run and launching
// operations; tests put fakes in their place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace pc {

class UiPort;

// The configuration values that the window's handlers read when they run.
struct TLauncherValues {
    std::string ServerName;
    std::string PatchListUrl;
    std::string WebsiteUrl;
    std::string ControlPanelUrl;
    std::string ForumUrl;
    std::string NewsUrl; // the news page, which the news link opens in the player's browser
};

struct TLauncherCore {
    std::function<void(UiPort&)> FormCreate;                                 // the start-up handler
    std::function<void(UiPort&, const std::string& patchListUrl)> UpdateRun; // the whole update
    std::function<void(UiPort&)> StartClient;                                // ends the launcher on success
    std::function<void(UiPort&, const std::string& url)> OpenLink;           // the default browser
    std::function<TLauncherValues()> Values;                                 // the current configuration
    std::function<void(UiPort&)> CheckGameFiles; // checks and heals the game's files, with log lines
    // The player's download speed limit in bytes per second (0: none), and its change, which is kept for
    // the installation and applies at once, also to a download under way. None: no such menu.
    std::function<std::int64_t()> SpeedLimit;
    std::function<void(UiPort&, std::int64_t bytesPerSecond)> SetSpeedLimit;
};

// The real start-up, update run, launching and configuration, as both editions' programs wire them.
TLauncherCore RealLauncherCore();

} // namespace pc
