// One update at a time per installation: a lock on the installation's directory that the operating
// system releases when its holder ends, however it ends, and that leaves no file behind.
#pragma once

#include <cstdint>
#include <string>

namespace pc {

class TInstallationLock {
public:
    explicit TInstallationLock(std::string directory);
    TInstallationLock(const TInstallationLock&) = delete;
    TInstallationLock& operator=(const TInstallationLock&) = delete;
    ~TInstallationLock(); // releases the lock when held

    // Takes the lock when nobody else holds it; true while this object holds it. A directory that cannot
    // be locked at all (it cannot be opened) counts as held, so an update is never kept from running by it.
    bool TryAcquire();

private:
    std::string directory_;
    std::intptr_t handle_ = -1; // the platform's descriptor or handle
    bool held_ = false;
};

} // namespace pc
