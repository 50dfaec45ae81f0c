// The installation lock on Windows: a named mutex for the installation's directory. The system abandons
// it when its holder ends, however it ends, and there is no file to leave behind.
#include "framework/install_lock.h"

#include "framework/win32/win32_support.h"

#include <cstdint>
#include <cstdio>
#include <set>

namespace pc {
namespace {

// One name per directory, whatever its letter case or separators: the mutex namespace takes no '\'.
std::string MutexName(const std::string& directory) {
    std::wstring wide = win32::ToWide(directory, CP_ACP);
    std::wstring full(MAX_PATH * 4, L'\0');
    const DWORD length =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size())
        wide.assign(full.data(), length);
    while (!wide.empty() && (wide.back() == L'\\' || wide.back() == L'/'))
        wide.pop_back();
    if (!wide.empty())
        ::CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a over the UTF-16 units
    for (const wchar_t c : wide) {
        const wchar_t unit = c == L'/' ? L'\\' : c;
        hash = (hash ^ static_cast<std::uint16_t>(unit)) * 1099511628211ull;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Local\\PatchClient-installation-%016llx",
                  static_cast<unsigned long long>(hash));
    return name;
}

// Names this process holds. A mutex is owned by a thread and taken again by it without waiting, so a second
// lock object of the same process must be refused here, as a second holder is.
std::set<std::string>& HeldHere() {
    static std::set<std::string> names;
    return names;
}

} // namespace

TInstallationLock::TInstallationLock(std::string directory) : directory_(std::move(directory)) {}

TInstallationLock::~TInstallationLock() {
    if (handle_ != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        if (held_) {
            ::ReleaseMutex(mutex);
            HeldHere().erase(MutexName(directory_.empty() ? "." : directory_));
        }
        ::CloseHandle(mutex);
    }
}

bool TInstallationLock::TryAcquire() {
    if (held_)
        return true;
    const std::string name = MutexName(directory_.empty() ? "." : directory_);
    if (HeldHere().count(name) != 0)
        return false;
    if (handle_ == -1) {
        const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
        if (mutex == nullptr) {
            held_ = true; // no lock to be had: behave as the launcher always has
            return true;
        }
        handle_ = reinterpret_cast<std::intptr_t>(mutex);
    }
    const DWORD result = ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0);
    // An abandoned mutex belonged to a holder that ended without releasing it: it is ours now.
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    if (held_)
        HeldHere().insert(name);
    return held_;
}

} // namespace pc
