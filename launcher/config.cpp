#include "launcher/config.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/registry.h"
#include "framework/text_buffer.h"
#include "launcher/install/installation.h"
#include "launcher/ui_port.h"

namespace pc {
namespace {

// Where the desktop's default browser keeps its open command.
constexpr const char* kBrowserCommandKey = "SOFTWARE\\Classes\\http\\shell\\open\\command";

// 1-based position of the first occurrence of `what` in `text`; 0 when there is none.
long PositionOf(const std::string& text, const std::string& what) {
    const auto at = text.find(what);
    return at == std::string::npos ? 0 : static_cast<long>(at) + 1;
}

// Takes off the key and shifts every byte of the loaded text back.
void DescrambleBuffer(TMemo& buffer) {
    std::string text = buffer.Text();
    const std::int32_t key = ParseInteger("$" + text.substr(0, 2));
    text.erase(0, 2);
    const auto shift = static_cast<unsigned char>((key + 19) % 256);
    for (char& c : text)
        c = static_cast<char>(static_cast<unsigned char>(static_cast<unsigned char>(c) - shift));
    buffer.SetText(text);
}

ConfigValues TakeAllValues(TMemo& buffer) {
    ConfigValues values;
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i)
        values[i] = LookupConfigValue(buffer, kConfigKeys[i]);
    return values;
}

ConfigContents TakeContents(TMemo& buffer) {
    ConfigContents contents;
    contents.values = TakeAllValues(buffer);
    contents.patchListKey = TakePatchListKey(buffer, contents.hasPatchListKey);
    contents.patchListMirrors = TakePatchListMirrors(buffer);
    return contents;
}

} // namespace

LauncherConfig& Config() {
    static LauncherConfig config;
    return config;
}

void DescrambleConfig(TMemo& buffer, const std::string& path) {
    buffer.LoadTextFile(path);
    DescrambleBuffer(buffer);
}

std::string LookupConfigValue(TMemo& buffer, const std::string& key) {
    const std::string text = buffer.Text();
    const long p = PositionOf(text, key);
    // As a 0-based position this skips the one separator character after the key.
    buffer.SetSelectionStart(p + static_cast<long>(key.size()));
    // The end of the buffer's first line, which the n-th key is expected to stand on.
    const long q = PositionOf(text, "\r\n");
    buffer.SetSelectionLength(q - buffer.SelectionStart() - 2);
    std::string value = buffer.SelectedText();

    buffer.SetSelectionStart(0);
    buffer.SetSelectionLength(q + 1);
    buffer.ReplaceSelection("");
    return value;
}

void LoadConfig(UiPort& ui, const std::string& path) {
    std::unique_ptr<TMemo> buffer = ui.CreateHiddenTextBuffer();
    DescrambleConfig(*buffer, path);

    LauncherConfig& config = Config();
    ui.SetApplicationTitle(LookupConfigValue(*buffer, "client_title"));
    ui.SetWindowCaption(ui.GetApplicationTitle());
    config.newsUrl = LookupConfigValue(*buffer, "newsfile_url");
    config.patchListUrl = LookupConfigValue(*buffer, "patchlist_url");
    config.serverName = LookupConfigValue(*buffer, "server_name");
    ui.SetServerLabel(" " + config.serverName + " ");
    config.websiteUrl = LookupConfigValue(*buffer, "website_url");
    config.controlPanelUrl = LookupConfigValue(*buffer, "controlpanel_url");
    config.forumUrl = LookupConfigValue(*buffer, "forum_url");
    config.clientExe = LookupConfigValue(*buffer, "client_exe");
    config.patchListKey = TakePatchListKey(*buffer, config.hasPatchListKey);
    config.patchListMirrors = TakePatchListMirrors(*buffer);

    ui.DestroyHiddenTextBuffer(std::move(buffer));
}

ConfigValues ReadConfigValues(const std::string& path) {
    TMemo buffer;
    DescrambleConfig(buffer, path);
    return TakeAllValues(buffer);
}

ConfigValues DecodeConfigBytes(const std::string& bytes) {
    TMemo buffer;
    buffer.LoadTextBytes(bytes);
    DescrambleBuffer(buffer);
    return TakeAllValues(buffer);
}

std::string TakePatchListKey(TMemo& buffer, bool& present) {
    // Only a ninth line that starts with the key counts: the eight lookups have consumed the lines above
    // it, and a file of eight lines leaves nothing (or the rest of a last line without CR LF) behind.
    const std::string name = kPatchListKeyName;
    present = buffer.Text().compare(0, name.size(), name) == 0;
    return present ? LookupConfigValue(buffer, name) : std::string();
}

std::vector<std::string> TakePatchListMirrors(TMemo& buffer) {
    const std::string line = std::string(kPatchListMirrorName) + "=";
    std::vector<std::string> mirrors;
    while (buffer.Text().compare(0, line.size(), line) == 0)
        mirrors.push_back(LookupConfigValue(buffer, kPatchListMirrorName));
    return mirrors;
}

ConfigContents ReadConfigContents(const std::string& path) {
    TMemo buffer;
    DescrambleConfig(buffer, path);
    return TakeContents(buffer);
}

ConfigContents DecodeConfigContents(const std::string& bytes) {
    TMemo buffer;
    buffer.LoadTextBytes(bytes);
    DescrambleBuffer(buffer);
    return TakeContents(buffer);
}

std::string FindDefaultBrowser(RegistryBackend& registry) {
    TRegistry reg(registry);
    reg.SetRootKey(RootKey::LocalMachine);
    reg.OpenKeyForReading(kBrowserCommandKey); // a missing key simply reads as an empty value
    const std::string command = reg.ReadStringValue("");
    if (command.empty() || command.front() != '"')
        return command;
    // A quoted program path: the text up to the closing quote; without one there is no usable path.
    const auto close = command.find('"', 1);
    return close == std::string::npos ? std::string() : command.substr(1, close - 1);
}

std::string FindDefaultBrowser() {
    return FindDefaultBrowser(SystemRegistry());
}

void FormCreate(UiPort& ui) {
    FormCreate(ui, PathPart(ExecutablePath()), SystemRegistry());
}

void FormCreate(UiPort& ui, const std::string& applicationDir, RegistryBackend& registry) {
    LauncherConfig& config = Config();
    config = LauncherConfig{};
    ui.SetApplicationTitle("");
    config.applicationDir = applicationDir;
    if (!config.applicationDir.empty() && config.applicationDir.back() != '/')
        config.applicationDir += '/';
    config.defaultBrowserPath = FindDefaultBrowser(registry);

    const std::string path = config.applicationDir + kConfigFileName;
    if (IsExistingFile(path)) {
        LoadConfig(ui, path);
        ui.NavigateNews(config.newsUrl);
        ui.ArmPatchTimer();
    } else {
        ui.ShowMessageBox(std::string("Essential file missing: ") + kConfigFileName);
        ui.TerminateApplication();
    }
}

} // namespace pc
