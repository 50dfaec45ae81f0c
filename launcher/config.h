// Start-up and the launcher's configuration, read from the scrambled Config.ini.
#pragma once

#include <string>

namespace pc {

class UiPort;
class TMemo;

// The process-wide configuration: filled once at start-up, only read afterwards. All values are bytes as
// they stand in Config.ini (no code-page conversion).
struct LauncherConfig {
    std::string applicationDir;     // the executable's directory, ending with '/'
    std::string defaultBrowserPath; // empty when the desktop names no browser
    std::string newsUrl;            // newsfile_url
    std::string patchListUrl;       // patchlist_url
    std::string serverName;         // server_name
    std::string websiteUrl;         // website_url
    std::string controlPanelUrl;    // controlpanel_url
    std::string forumUrl;           // forum_url
    std::string clientExe;          // client_exe
};

// The one record of the process.
LauncherConfig& Config();

} // namespace pc
