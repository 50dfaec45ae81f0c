// The launcher's own files in an installation: its configuration, its state, its lock and the folders of
// its downloads. They are named here and nowhere else; no patch may write, replace or remove them, no
// repair may touch them, and no packed patch or snapshot carries them. A state file that a later version
// adds is one more line of kOwnStateFiles.
#pragma once

#include "framework/install_lock.h"

#include <string>

namespace pc {

inline constexpr const char* kConfigFileName = "Config.ini";
inline constexpr const char* kPatchListFileName = "tmp_PatchList.ini";
inline constexpr const char* kLedgerFileName = "tqm_patch.ini";
// The file beside the ledger that holds the highest serial accepted, one decimal line.
inline constexpr const char* kAcceptedSerialFileName = "tqm_serial.ini";
// The file beside the ledger holding the statement this installation accepted last (none: version 1).
inline constexpr const char* kTrustStateFileName = "tqm_trust.ini";
// The player's settings for this installation (the download speed limit) and its rollout number.
inline constexpr const char* kSettingsFileName = "tqm_settings.ini";

// Where a patch archive is downloaded to, opened from and deleted after its extraction, and where what
// is needed to continue its download at a later start is kept. Both carry the stored name behind a
// prefix with a backslash, which no archive entry can produce here (entries use it as a separator), so no
// file that a patch brings and none of the launcher's own files can have either name.
inline constexpr const char* kStoredArchivePrefix = "tqm_download\\";
inline constexpr const char* kResumeStatePrefix = "tqm_resume\\";

// The files the launcher keeps at the top of the installation (the lock's name is the framework's).
inline constexpr const char* kOwnStateFiles[] = {
    kConfigFileName,     kLedgerFileName,           kPatchListFileName, kAcceptedSerialFileName,
    kTrustStateFileName, kInstallationLockFileName, kSettingsFileName,
};
// The launcher program under the names both editions ship it with.
inline constexpr const char* kLauncherProgramNames[] = {"patch-client", "patch-client.exe"};

// Whether `name` (relative to the installation, '/' or '\' between folders) is one of the launcher's own
// files or lies in one of its folders; `executableName`, when given, is the running launcher's name.
// Letter case is ignored, as Windows ignores it (an installation on Linux may lie on such a file system,
// and a patch packed on Linux goes to both editions), and so are the dots and blanks that Windows strips
// from the end of each part of a name.
bool IsLauncherOwnFile(const std::string& name, const std::string& executableName = {});

} // namespace pc
