#include "launcher/install/installation.h"

#include "framework/crypto.h"
#include "framework/install_lock.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string_view>
#include <thread>

namespace pc {
namespace {

// How often a run that waits for another update of the installation looks again, pumping in between.
constexpr std::chrono::milliseconds kLockPollInterval{50};

} // namespace

std::string ArchiveFileName(const std::string& url) {
    const auto slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

std::string ArchiveDisplayName(const std::string& url) {
    const std::string name = ArchiveFileName(url);
    return name.substr(0, name.find('.'));
}

namespace {

// Characters that either edition's file system refuses in a name, or that would make the name leave the
// download folder.
bool IsRefusedInName(unsigned char c) {
    return c < 0x20 || c == 0x7F ||
           std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos;
}

// Windows opens its devices under these names whatever the extension ("NUL.zip" is the null device).
bool IsDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// The last UTF-8 character boundary at or before `length`, so no shortened name ends in half a letter.
std::size_t CharacterBoundary(const std::string& text, std::size_t length) {
    while (length > 0 && length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

} // namespace

std::string StoredArchiveName(const std::string& url) {
    const std::string location = url.substr(0, url.find_first_of("?#"));
    std::string name = ArchiveFileName(location);
    for (char& c : name)
        if (IsRefusedInName(static_cast<unsigned char>(c)))
            c = '_';
    // Windows drops trailing dots and blanks, so "p1.zip." would be "p1.zip"; "." and ".." name folders.
    for (auto it = name.rbegin(); it != name.rend() && (*it == '.' || *it == ' '); ++it)
        *it = '_';
    if (IsDeviceName(name))
        name.insert(0, "_");
    if (!name.empty() && name.size() <= kMaxStoredNameBytes)
        return name;

    // Too long for every file system (or nothing left): the head of the name stays readable, the digest
    // of the whole URL keeps names of different URLs apart, and a short extension stays at the end.
    TSha256 hasher;
    hasher.Update(url.data(), url.size());
    const std::string digest = "~" + hasher.HexDigest().substr(0, 16);
    std::string extension;
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0 && name.size() - dot <= 16)
        extension = name.substr(dot);
    const std::size_t room = kMaxStoredNameBytes - digest.size() - extension.size();
    std::string head =
        name.substr(0, CharacterBoundary(name, std::min(room, name.size() - extension.size())));
    if (head.empty() && extension.empty())
        head = "patch";
    return head + digest + extension;
}

std::string StoredArchivePath(const std::string& appDir, const std::string& url) {
    return appDir + kStoredArchivePrefix + StoredArchiveName(url);
}

std::string ResumeStatePath(const std::string& appDir, const std::string& url) {
    return appDir + kResumeStatePrefix + StoredArchiveName(url);
}

bool WaitForOtherUpdates(UiPort& ui, TInstallationLock& lock) {
    if (lock.TryAcquire())
        return true;
    ui.AppendLogLine("- Waiting for another update of this game to finish...");
    while (!lock.TryAcquire()) {
        ui.PumpMessages();
        if (ui.TerminationRequested())
            return false;
        std::this_thread::sleep_for(kLockPollInterval);
    }
    return true;
}

} // namespace pc
