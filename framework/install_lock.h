// One update at a time per installation: a lock that the operating system releases when its holder ends,
// however it ends, on a small hidden file in the installation that only a user who may write the
// installation can open for writing. A user who may only read it can neither hold the lock nor keep
// anyone from taking it. The file stays (it is never deleted, least of all while held).
#pragma once

#include "framework/exceptions.h"

#include <cstdint>
#include <string>

namespace pc {

// The lock file's name in the installation directory.
inline constexpr const char* kInstallationLockFileName = ".tqm_lock";

// Raised when the lock file is there but is not a regular file (a folder, a pipe, a link): no update can
// be kept from running alongside another then. "The update lock .tqm_lock is not a regular file".
class ENotARegularLock : public Exception {
public:
    ENotARegularLock()
        : Exception(std::string("The update lock ") + kInstallationLockFileName + " is not a regular file") {}
};

class TInstallationLock {
public:
    // `mayCreate` false: a lock file that is not there yet is not made, and counts as held (a check that
    // only reads the installation writes nothing into it, the lock file included).
    explicit TInstallationLock(std::string directory, bool mayCreate = true);
    TInstallationLock(const TInstallationLock&) = delete;
    TInstallationLock& operator=(const TInstallationLock&) = delete;
    ~TInstallationLock(); // releases the lock when held

    // Takes the lock when nobody else holds it; true while this object holds it. An installation whose
    // lock file cannot be opened for writing (a user who may not write there, a file system without
    // locks) counts as held, so an update is never kept from running by it: such a run has nothing to
    // guard, or behaves as the launcher always has. ENotARegularLock when the lock file is there but is
    // not a regular file. The lock is held on the file that the name leads to when it is taken: a file
    // put in the place of the one waited on is locked anew.
    bool TryAcquire();

private:
    std::string directory_;
    std::intptr_t handle_ = -1; // the platform's descriptor or handle
    bool held_ = false;
    bool mayCreate_ = true;
};

} // namespace pc
