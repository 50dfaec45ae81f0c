// The registry on a Linux desktop: the one entry the launcher reads, the open command of the default web
// browser, is made from the desktop's default-browser association (freedesktop.org mimeapps.list and the
// browser's .desktop file). Every other key is absent.
#pragma once

#include "framework/registry.h"

#include <optional>
#include <string>
#include <vector>

namespace pc::posix {

// Where the desktop keeps its associations and programs.
struct XdgEnvironment {
    std::string configHome;               // $XDG_CONFIG_HOME, else ~/.config
    std::vector<std::string> configDirs;  // $XDG_CONFIG_DIRS, else /etc/xdg
    std::string dataHome;                 // $XDG_DATA_HOME, else ~/.local/share
    std::vector<std::string> dataDirs;    // $XDG_DATA_DIRS, else /usr/local/share:/usr/share
    std::vector<std::string> desktops;    // $XDG_CURRENT_DESKTOP, lower case
    std::vector<std::string> programPath; // $PATH
    std::string fallbackBrowser;          // used when no association names an installed browser

    // The environment of this process; the fallback is Debian's x-www-browser alternative.
    static XdgEnvironment FromProcess();
};

// The words of a .desktop Exec value after unescaping and unquoting, with the field codes (%u, %U, %f,
// %F, %i, %c, %k and the deprecated ones) removed, since the launcher passes the URL itself; "%%" is a
// literal '%'. Nothing when the value is malformed (an unclosed quote, a trailing backslash).
std::optional<std::vector<std::string>> SplitExecValue(const std::string& value);

// The default browser's open command in the registry's form: the program in double quotes (resolved
// against the program path when the Exec line names it bare), then its remaining arguments. Empty when
// the desktop names no installed browser and there is no fallback.
std::string DefaultBrowserCommand(const XdgEnvironment& env);

class XdgRegistry : public RegistryBackend {
public:
    explicit XdgRegistry(XdgEnvironment env) : env_(std::move(env)) {}

    bool OpenKey(RootKey root, const std::string& path) override;
    std::optional<std::size_t> ValueSize(RootKey root, const std::string& path,
                                         const std::string& name) override;
    std::optional<RegistryValue> ReadValue(RootKey root, const std::string& path,
                                           const std::string& name) override;

private:
    // The browser command when `path` names the http open-command key, else nothing.
    std::optional<std::string> CommandFor(RootKey root, const std::string& path);

    XdgEnvironment env_;
};

} // namespace pc::posix
