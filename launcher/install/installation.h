// The installation's own names: where patch archives are stored and their downloads continued, how a
// URL is shown; and the wait for the installation's update lock. Every wing of the launcher stands on these.
#pragma once

#include "launcher/install/own_files.h"

#include <cstddef>
#include <string>

namespace pc {

class UiPort;
class TInstallationLock;

// The name the original launcher stores a patch URL under: the text after the last '/'.
std::string ArchiveFileName(const std::string& url);
// The name the log shows for it: that name with everything from its first '.' on removed.
std::string ArchiveDisplayName(const std::string& url);

// The name an archive is stored under, safe on both editions' file systems: the URL's last segment
// without query and fragment, characters that either system refuses (a backslash among them), names of
// devices and trailing dots or blanks made harmless with '_', and a name longer than kMaxStoredNameBytes
// shortened, keeping a digest of the whole URL in it. An ordinary segment ("p0042.zip") stays as it is.
inline constexpr std::size_t kMaxStoredNameBytes = 96;
std::string StoredArchiveName(const std::string& url);

// Where a patch archive is downloaded to and where its download is continued from: the stored name
// behind kStoredArchivePrefix or kResumeStatePrefix.
std::string StoredArchivePath(const std::string& appDir, const std::string& url);
std::string ResumeStatePath(const std::string& appDir, const std::string& url);

// Waits until no other update of this installation runs, keeping the window alive. False when the player
// ended the application meanwhile.
bool WaitForOtherUpdates(UiPort& ui, TInstallationLock& lock);

} // namespace pc
