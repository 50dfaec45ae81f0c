#include "framework/posix/xdg_registry.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pc::posix {
namespace {

constexpr const char* kHttpScheme = "x-scheme-handler/http";

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The entries of one group of a desktop-entry style file, keys exactly as written.
std::vector<std::pair<std::string, std::string>> ReadGroup(const std::string& file,
                                                           const std::string& group) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::ifstream in(file);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGroup = line == "[" + group + "]";
            continue;
        }
        const auto equals = line.find('=');
        if (inGroup && equals != std::string::npos)
            entries.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return entries;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Dir(const std::string& dir) {
    return dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

// The installed .desktop file for an id, searched in the data directories by precedence.
std::optional<std::string> FindDesktopFile(const XdgEnvironment& env, const std::string& id) {
    if (id.empty() || id.find('/') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> roots{env.dataHome};
    roots.insert(roots.end(), env.dataDirs.begin(), env.dataDirs.end());
    for (const auto& root : roots) {
        if (root.empty())
            continue;
        const std::string candidate = Dir(root) + "applications/" + id;
        if (IsRegularFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

// The association files in the order in which they take precedence.
std::vector<std::string> MimeAppsLists(const XdgEnvironment& env) {
    std::vector<std::string> dirs{env.configHome};
    dirs.insert(dirs.end(), env.configDirs.begin(), env.configDirs.end());
    if (!env.dataHome.empty())
        dirs.push_back(Dir(env.dataHome) + "applications");
    for (const auto& data : env.dataDirs)
        if (!data.empty())
            dirs.push_back(Dir(data) + "applications");
    std::vector<std::string> files;
    for (const auto& dir : dirs) {
        if (dir.empty())
            continue;
        for (const auto& desktop : env.desktops)
            files.push_back(Dir(dir) + desktop + "-mimeapps.list");
        files.push_back(Dir(dir) + "mimeapps.list");
    }
    return files;
}

std::string ResolveProgram(const XdgEnvironment& env, const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    for (const auto& dir : env.programPath) {
        const std::string candidate = Dir(dir) + program;
        if (IsRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return program; // left bare: the launcher's existence test then reports it as missing
}

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// The open command from a .desktop file, or nothing when it has no usable Exec line.
std::optional<std::string> CommandFromDesktopFile(const XdgEnvironment& env, const std::string& file) {
    std::optional<std::string> exec;
    for (const auto& [key, value] : ReadGroup(file, "Desktop Entry")) {
        if (key == "Hidden" && value == "true")
            return std::nullopt;
        if (key == "Exec" && !exec)
            exec = value;
    }
    if (!exec)
        return std::nullopt;
    const auto words = SplitExecValue(*exec);
    if (!words || words->empty())
        return std::nullopt;
    std::string command = "\"" + ResolveProgram(env, words->front()) + "\"";
    for (std::size_t i = 1; i < words->size(); ++i)
        command += " " + QuoteArgument((*words)[i]);
    return command;
}

bool IsFieldCode(char c) {
    return std::string("fFuUickdDnNvm").find(c) != std::string::npos;
}

} // namespace

XdgEnvironment XdgEnvironment::FromProcess() {
    XdgEnvironment env;
    const std::string home = EnvOr("HOME", "");
    env.configHome = EnvOr("XDG_CONFIG_HOME", home.empty() ? "" : home + "/.config");
    env.configDirs = SplitList(EnvOr("XDG_CONFIG_DIRS", "/etc/xdg"), ':');
    env.dataHome = EnvOr("XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
    env.dataDirs = SplitList(EnvOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':');
    env.desktops = SplitList(Lower(EnvOr("XDG_CURRENT_DESKTOP", "")), ':');
    env.programPath = SplitList(EnvOr("PATH", "/usr/local/bin:/usr/bin:/bin"), ':');
    env.fallbackBrowser = "/usr/bin/x-www-browser";
    return env;
}

std::optional<std::vector<std::string>> SplitExecValue(const std::string& value) {
    // The general string escapes of desktop entries come first.
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
        case 's':
            text += ' ';
            break;
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        case '\\':
            text += '\\';
            break;
        default: // the escapes of quoted words are left for the word splitting
            text += '\\';
            text += next;
        }
    }

    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool onlyFieldCodes = true; // a word made of nothing but field codes disappears entirely
    auto finish = [&] {
        if (inWord && !(word.empty() && onlyFieldCodes))
            words.push_back(word);
        word.clear();
        inWord = false;
        onlyFieldCodes = true;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            finish();
        } else if (c == '"') {
            inWord = true;
            onlyFieldCodes = false;
            for (++i;; ++i) {
                if (i >= text.size())
                    return std::nullopt;
                if (text[i] == '"')
                    break;
                if (text[i] == '\\') {
                    if (++i >= text.size())
                        return std::nullopt;
                }
                word += text[i];
            }
        } else if (c == '%' && i + 1 < text.size()) {
            inWord = true;
            if (text[i + 1] == '%') {
                word += '%';
                onlyFieldCodes = false;
            } else if (!IsFieldCode(text[i + 1])) {
                word += text[i + 1]; // an unknown code stands for its letter
                onlyFieldCodes = false;
            }
            ++i;
        } else if (c == '\\') {
            if (++i >= text.size())
                return std::nullopt;
            inWord = true;
            onlyFieldCodes = false;
            word += text[i];
        } else {
            inWord = true;
            onlyFieldCodes = false;
            word += c;
        }
    }
    finish();
    return words;
}

std::string DefaultBrowserCommand(const XdgEnvironment& env) {
    for (const auto& list : MimeAppsLists(env)) {
        for (const auto& [key, value] : ReadGroup(list, "Default Applications")) {
            if (key != kHttpScheme)
                continue;
            for (const auto& id : SplitList(value, ';')) {
                const auto file = FindDesktopFile(env, id);
                if (!file)
                    continue;
                if (auto command = CommandFromDesktopFile(env, *file))
                    return *command;
            }
        }
    }
    if (!env.fallbackBrowser.empty() && IsRegularFile(env.fallbackBrowser))
        return "\"" + env.fallbackBrowser + "\"";
    return std::string();
}

std::optional<std::string> XdgRegistry::CommandFor(RootKey root, const std::string& path) {
    const std::string key = Lower(path);
    const bool isCommandKey = ((root == RootKey::LocalMachine || root == RootKey::CurrentUser) &&
                               key == "software\\classes\\http\\shell\\open\\command") ||
                              (root == RootKey::ClassesRoot && key == "http\\shell\\open\\command");
    if (!isCommandKey)
        return std::nullopt;
    std::string command = DefaultBrowserCommand(env_);
    if (command.empty())
        return std::nullopt;
    return command;
}

bool XdgRegistry::OpenKey(RootKey root, const std::string& path) {
    return CommandFor(root, path).has_value();
}

std::optional<std::size_t> XdgRegistry::ValueSize(RootKey root, const std::string& path,
                                                  const std::string& name) {
    if (!name.empty())
        return std::nullopt;
    const auto command = CommandFor(root, path);
    if (!command)
        return std::nullopt;
    return command->size() + 1;
}

std::optional<RegistryValue> XdgRegistry::ReadValue(RootKey root, const std::string& path,
                                                    const std::string& name) {
    if (!name.empty())
        return std::nullopt;
    const auto command = CommandFor(root, path);
    if (!command)
        return std::nullopt;
    return RegistryValue{RegistryType::String, *command + std::string(1, '\0')};
}

} // namespace pc::posix

namespace pc {

RegistryBackend& SystemRegistry() {
    static posix::XdgRegistry registry(posix::XdgEnvironment::FromProcess());
    return registry;
}

} // namespace pc
