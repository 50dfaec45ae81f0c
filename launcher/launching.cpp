#include "launcher/launching.h"

#include "framework/file_system.h"
#include "framework/helpers.h"
#include "launcher/config.h"
#include "launcher/ui_port.h"

#include <cctype>

namespace pc {

namespace {

void TellWineIsMissing(UiPort& ui, const std::string& program) {
    ui.ShowMessageBox("Windows programs need Wine, which is not installed [" + program + "]");
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The name with either separator written as this system's own, as archive entry names are read: a list
// written for the Windows launcher names "tools\setup.sh".
std::string WithNativeSeparators(std::string name) {
    const char native = fsys::NameSeparators()[0];
    for (char& c : name)
        if (IsSeparator(c))
            c = native;
    return name;
}

// Starts `program`, with the installation as its current directory; a Windows program on Linux without
// Wine is named to the player.
bool StartInInstallation(UiPort& ui, const std::string& program, const std::string& arguments,
                         const std::string& appDir, bool wait) {
    const TStartResult result = StartProgram(program, arguments, appDir, wait);
    if (result == TStartResult::srNeedsWine)
        TellWineIsMissing(ui, program);
    return result == TStartResult::srStarted;
}

} // namespace

bool RunProgram(const std::string& commandLine, bool wait) {
    return StartProcess(commandLine, wait) == TStartResult::srStarted;
}

bool RunProgram(UiPort& ui, const std::string& commandLine, bool wait) {
    const TStartResult result = StartProcess(commandLine, wait);
    if (result == TStartResult::srNeedsWine)
        TellWineIsMissing(ui, SplitCommandLine(commandLine).program);
    return result == TStartResult::srStarted;
}

std::vector<TProgramReading> ProgramFieldReadings(std::string_view field) {
    std::size_t start = 0;
    while (start < field.size() && IsBlank(field[start]))
        ++start;
    field.remove_prefix(start);
    if (field.empty())
        return {};
    if (field.front() == '"') {
        const std::size_t close = field.find('"', 1);
        if (close == std::string_view::npos)
            return {TProgramReading{std::string(field.substr(1)), std::string()}};
        return {
            TProgramReading{std::string(field.substr(1, close - 1)), std::string(field.substr(close + 1))}};
    }
    std::vector<TProgramReading> readings;
    for (std::size_t end = 0; end < field.size(); ++end) {
        if (IsBlank(field[end]) && end > 0 && !IsBlank(field[end - 1]))
            readings.push_back(
                TProgramReading{std::string(field.substr(0, end)), std::string(field.substr(end))});
    }
    readings.push_back(TProgramReading{std::string(field), std::string()});
    return readings;
}

bool StaysInsideInstallation(std::string_view relative) {
    if (!relative.empty() && IsSeparator(relative.front()))
        return false;
    if (relative.size() >= 2 && std::isalpha(static_cast<unsigned char>(relative[0])) && relative[1] == ':')
        return false; // "C:\x", and "C:x", which Windows reads in drive C's current directory
    int depth = 0;
    std::size_t at = 0;
    while (at <= relative.size()) {
        std::size_t end = at;
        while (end < relative.size() && !IsSeparator(relative[end]))
            ++end;
        const std::string_view part = relative.substr(at, end - at);
        if (part == "..") {
            if (--depth < 0)
                return false;
        } else if (!part.empty() && part != ".") {
            // Windows drops trailing dots and blanks from a name, so "..." or ". ." may mean "..": a name of
            // nothing else is taken as leaving.
            if (part.find_first_not_of(". ") == std::string_view::npos)
                return false;
            ++depth;
        }
        at = end + 1;
    }
    return true;
}

bool ProgramFieldMayLeaveInstallation(std::string_view field) {
    for (const TProgramReading& reading : ProgramFieldReadings(field))
        if (!StaysInsideInstallation(reading.program))
            return true;
    return false;
}

bool RunPatchProgram(UiPort& ui, const std::string& appDir, const std::string& field) {
    const std::vector<TProgramReading> readings = ProgramFieldReadings(field);
    if (readings.empty())
        return false;
    // The system would try each reading in turn, so one that leaves the installation refuses the field
    // even when a longer one stays inside: what runs is never chosen by a file outside. When none names a
    // file, the first is started as the system would (Windows adds ".exe" to "setup" in "setup -q").
    const TProgramReading* chosen = &readings.front();
    for (const TProgramReading& reading : readings) {
        if (!StaysInsideInstallation(reading.program))
            return false;
        if (IsExistingFile(appDir + WithNativeSeparators(reading.program))) {
            chosen = &reading;
            break;
        }
    }
    if (chosen->program.empty())
        return false;
    return StartInInstallation(ui, appDir + WithNativeSeparators(chosen->program), chosen->arguments, appDir,
                               true);
}

void StartClient(UiPort& ui) {
    StartClient(ui, Config().applicationDir, Config().clientExe);
}

void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe) {
    const std::string path = appDir + clientExe;
    if (IsExistingFile(path)) {
        // A client that cannot run without Wine keeps the launcher open to say so.
        if (StartProgram(path, std::string(), appDir, false) == TStartResult::srNeedsWine) {
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
