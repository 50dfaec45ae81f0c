// Start-up and the launcher's configuration, read from the scrambled Config.ini.
#pragma once

#include "launcher/install/own_files.h"
#include "launcher/list/list_fetch.h"

#include <array>
#include <string>
#include <vector>

namespace pc {

class UiPort;
class TMemo;
class RegistryBackend;

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
    // patchlist_key, the optional ninth line: the public key (base64 of DER SubjectPublicKeyInfo) that
    // the patch list's signature must verify under. Without the line no signature is asked for.
    bool hasPatchListKey = false;
    std::string patchListKey;
    // patchlist_mirror lines after those: where else the list (and its signature) can be fetched from when
    // patchlist_url cannot serve it, in the order given.
    std::vector<std::string> patchListMirrors;

    // Where the patch list comes from, as the update run and the check of game files take it.
    TListSource ListSource() const {
        return {patchListUrl, patchListMirrors,
                hasPatchListKey ? std::optional<std::string>(patchListKey) : std::nullopt};
    }
};

// The one record of the process.
LauncherConfig& Config();

// The keys of Config.ini, one per line, in the order in which they must stand.
inline constexpr std::array<const char*, 8> kConfigKeys = {
    "client_title", "newsfile_url",     "patchlist_url", "server_name",
    "website_url",  "controlpanel_url", "forum_url",     "client_exe",
};
using ConfigValues = std::array<std::string, kConfigKeys.size()>;

// The optional ninth key, after client_exe. Launchers that read eight lines never look at it.
inline constexpr const char* kPatchListKeyName = "patchlist_key";
// Any number of these may follow (after patchlist_key when there is one); launchers that read eight or
// nine lines never look at them.
inline constexpr const char* kPatchListMirrorName = "patchlist_mirror";

// The start-up handler of the main window: application directory from the executable, browser from the
// system registry.
void FormCreate(UiPort& ui);
// The same for a given installation directory and registry (patchctl, tests).
void FormCreate(UiPort& ui, const std::string& applicationDir, RegistryBackend& registry);

// Reads Config.ini at `path` into Config() and puts title, caption and server label on the window.
// EFOpenError, EConvertError.
void LoadConfig(UiPort& ui, const std::string& path);

// Loads Config.ini at `path` into `buffer` and descrambles it there. EFOpenError, EConvertError.
void DescrambleConfig(TMemo& buffer, const std::string& path);

// Takes the value of `key` out of the descrambled text and removes the text's first line.
std::string LookupConfigValue(TMemo& buffer, const std::string& key);

// The eight values, in key order, exactly as LoadConfig takes them from the file at `path`.
ConfigValues ReadConfigValues(const std::string& path);
// The same for a file whose content is `bytes`. EConvertError
ConfigValues DecodeConfigBytes(const std::string& bytes);

// Everything the launcher takes from a Config.ini, the optional ninth key included.
struct ConfigContents {
    ConfigValues values;
    bool hasPatchListKey = false;
    std::string patchListKey;
    std::vector<std::string> patchListMirrors;
    bool operator==(const ConfigContents&) const = default;
};
ConfigContents ReadConfigContents(const std::string& path);    // EFOpenError, EConvertError
ConfigContents DecodeConfigContents(const std::string& bytes); // EConvertError

// After the eight lookups: the ninth key's value when the buffer's first line now holds it. `present`
// says whether it does.
std::string TakePatchListKey(TMemo& buffer, bool& present);
// After that: the values of the patchlist_mirror lines that the buffer's first lines now hold, in order.
std::vector<std::string> TakePatchListMirrors(TMemo& buffer);

// The default browser's program path from the registry's http open command; empty when there is none.
// ERegistryException when the registry holds the command with another type than string.
std::string FindDefaultBrowser();
std::string FindDefaultBrowser(RegistryBackend& registry);

} // namespace pc
