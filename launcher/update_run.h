// The update run: patch list, missing patches, download, extraction, post-patch program, ledger.
#pragma once

#include "launcher/own_files.h"

#include <cstdint>
#include <exception>
#include <string>

namespace pc {

class UiPort;
class TDelivery;
class TInstallationLock;

// The whole run, on the window thread; log lines and progress go to the window through `ui`. Works in the
// application directory of `Config()` on the process-wide `PatchList()`. Patches are applied in the order
// of their ids: the run ends at the first needed row that cannot be downloaded (later rows wait for the
// next start), and a row whose id is below one the ledger holds is never applied. Errors are not caught:
// one that arises ends the run where it stands, leaving the patch list file, the failed archive and the
// ledger as they are.
void UpdateRun(UiPort& ui, const std::string& patchListUrl);

// The log line of a run that ended on rows that could not be downloaded.
inline constexpr const char* kUpdateNotCompleteLine =
    "- The update is not complete; it will be tried again at the next start";
// The log line after an error ended the run (the error box has shown it): the update did not finish; a
// full disk or a refused file of the installation adds the path concerned in brackets; a lock file that is
// not a regular file is named instead, the update never having begun.
std::string UpdateNotFinishedLine(const std::exception& error);

// Applies the downloaded archive of row `index` of `PatchList()`: extracts it over the application
// directory with the window's archive component, deletes it, runs the row's program and waits for it,
// then records the patch in the ledger. An extraction that stopped early (an Abort answer, a full disk)
// records nothing and raises: EAbort, or EInOutError "Disk full".
// A delta patch's companion is read under the run's delivery policy when one is given.
void ApplyPatch(UiPort& ui, std::int32_t index, TDelivery* delivery = nullptr);

// The name the original launcher stores a patch URL under (keepExtension) and its display name: the text
// after the last '/', and without extension everything from its first '.' on removed. The log shows the
// display name.
std::string ArchiveFileName(const std::string& url, bool keepExtension);

// The name an archive is stored under, safe on both editions' file systems: the URL's last segment
// without query and fragment, characters that either system refuses (a backslash among them), names of
// devices and trailing dots or blanks made harmless with '_', and a name longer than kMaxStoredNameBytes
// shortened, keeping a digest of the whole URL in it. An ordinary segment ("p0042.zip") stays as it is.
inline constexpr std::size_t kMaxStoredNameBytes = 96;
std::string StoredArchiveName(const std::string& url);

std::string StoredArchivePath(const std::string& appDir, const std::string& url);
std::string ResumeStatePath(const std::string& appDir, const std::string& url);

// Waits until no other update of this installation runs, keeping the window alive. False when the player
// ended the application meanwhile.
bool WaitForOtherUpdates(UiPort& ui, TInstallationLock& lock);

} // namespace pc
