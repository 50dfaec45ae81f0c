// The update run: patch list, missing patches, download, extraction, post-patch program, ledger.
#pragma once

#include <cstdint>
#include <string>

namespace pc {

class UiPort;

// The whole run, on the window thread; log lines and progress go to the window through `ui`. Works in the
// application directory of `Config()` on the process-wide `PatchList()`. Errors are not caught: one that
// arises ends the run where it stands, leaving the patch list file, the failed archive and the ledger as
// they are.
void UpdateRun(UiPort& ui, const std::string& patchListUrl);

// Applies the downloaded archive of row `index` of `PatchList()`: extracts it over the application
// directory with the window's archive component, deletes it, runs the row's program and waits for it,
// then records the patch in the ledger. An extraction that stopped early (an Abort answer, a full disk)
// records nothing and raises: EAbort, or EInOutError "Disk full".
void ApplyPatch(UiPort& ui, std::int32_t index);

// The file name a patch URL is stored under (keepExtension) or its display name: the text after the last
// '/', and without extension everything from its first '.' on removed.
std::string ArchiveFileName(const std::string& url, bool keepExtension);

// Where a patch archive is downloaded to, opened from and deleted after its extraction, and where what
// is needed to continue its download at a later start is kept. Both carry the URL's last segment behind a
// prefix with a backslash, which no archive entry can produce here (entries use it as a separator), so no
// file that a patch brings and none of the launcher's own files can have either name.
inline constexpr const char* kStoredArchivePrefix = "tqm_download\\";
inline constexpr const char* kResumeStatePrefix = "tqm_resume\\";
std::string StoredArchivePath(const std::string& appDir, const std::string& url);
std::string ResumeStatePath(const std::string& appDir, const std::string& url);

} // namespace pc
