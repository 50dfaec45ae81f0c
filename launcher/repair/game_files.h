// Checking the game's files against the client manifest that the server publishes, and healing the ones
// that are damaged or missing with single entries of the client archive. Files that the manifest does not
// name (the player's settings, screenshots, mods) are never read, reported or touched, and the ledger of
// applied patches stays as it is.
#pragma once

#include "launcher/list/client_manifest.h"
#include "launcher/list/list_fetch.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pc {

class UiPort;
struct DownloadLimits;
struct TPatchList;
class TDelivery;

// The window's log lines of a check.
inline constexpr const char* kCheckingGameFilesLine = "- Checking game files...";
inline constexpr const char* kFetchingGameFilesLine = "- Fetching game files"; // with figures
inline constexpr const char* kGameFilesIntactLine = "- Game files are intact";
inline constexpr const char* kGameFilesRepairedLine = "- Game files have been repaired";
inline constexpr const char* kNoManifestLine =
    "- This server publishes no list of the game files to check them against";
inline constexpr const char* kNoManifestAtHandLine = "- Cannot download the list of the game files";
inline constexpr const char* kGameFilesNotRepairedLine = "- Some game files could not be repaired";
inline constexpr const char* kSnapshotOlderLine =
    "- The server's game files are older than this installation; nothing was changed";
inline constexpr const char* kUpdateBeforeCheckLine =
    "- The game files can be checked once the update is complete";

enum class TFileState { fsIntact, fsDamaged, fsMissing };

struct TFileFinding {
    std::string name;
    TFileState state = TFileState::fsIntact;
};

// What a check (and, when asked, its healing) came to.
struct TGameFilesResult {
    enum class TStage {
        gsNoManifest,  // the list names no client manifest
        gsUnavailable, // the list or the manifest could not be had or was refused: `failure` says why
        gsEnded,       // the application is ending; nothing more was done
        gsBehind,  // the installation lacks a patch that the snapshot holds: update first; nothing checked
        gsAhead,   // the installation holds a patch newer than the snapshot; nothing checked
        gsChecked, // every named file was checked (and healed when asked)
    };
    TStage stage = TStage::gsUnavailable;
    std::string failure;
    // The files found damaged or missing, in the manifest's order.
    std::vector<TFileFinding> findings;
    // When healing: the files made whole, and the ones that could not be, each with its reason.
    std::vector<std::string> repaired;
    std::vector<std::pair<std::string, std::string>> notRepaired;
    std::int64_t bytesFetched = 0; // HTTP body bytes of the client archive
    TClientManifest manifest;      // the one checked against, once it was read
};

struct TGameFilesOptions {
    // Without healing nothing is written into the installation: no lock file is made, no serial stored,
    // and the list and the manifest are downloaded to `downloadDir`.
    bool heal = false;
    // Where the list, its signature and the manifest are downloaded to and removed from right after
    // (ending with its separator); empty for the installation itself.
    std::string downloadDir;
    // Told now and then how far the work is: hashing in bytes hashed of all, then healing in bytes
    // written of the files to heal. Called on the window thread.
    std::function<void(bool healing, std::int64_t done, std::int64_t total)> onProgress = nullptr;
};

// The check of the installation in `appDir` against the manifest that the patch list at `listUrl` names,
// under the installation's update lock (waiting, with a log line, while another update holds it): the
// list is fetched and believed under the launcher's signature rules (`patchListKey` in base64, empty for
// none), the manifest must hash as the list says, every file it names is hashed on all cores, and with
// `heal` each damaged or missing file is fetched alone from the client archive, checked against the
// manifest and put in place through a temporary file. A manifest whose sizes the archive's directory does
// not share is refused before any file is changed, and so is a disk without room for the files to heal
// (ENotEnoughSpace). An installation that is not level with the snapshot (see StandingAgainstSnapshot) is
// not checked at all.
TGameFilesResult CheckGameFiles(UiPort& ui, const std::string& appDir, const TListSource& list,
                                const TGameFilesOptions& options, const DownloadLimits& limits);

// The second half of the check, for a caller that holds the installation's lock and has believed the list
// already (the update run, healing an installation far behind, or one that holds nothing yet, to the
// latest snapshot): the manifest that `clientLine` names, the files checked against it and, with `heal`,
// the damaged and missing ones fetched. Its stage is gsChecked or gsUnavailable.
TGameFilesResult CheckAgainstSnapshot(UiPort& ui, const std::string& appDir, const TClientLine& clientLine,
                                      const TGameFilesOptions& options, const DownloadLimits& limits,
                                      TDelivery& delivery);

// The check as the window runs it, for the installation in `appDir` and its patch list, with the
// launcher's download limits: its log lines ("- Checking game files...", then "- Game files are intact", or
// "- Repaired: NAME" and "- Cannot repair: NAME" per file and a closing line), the progress bar while it
// hashes and while it heals, and the reason of a failure through ReportDownloadFailure. An installation
// behind the snapshot is updated first (`update`: the update run, with its own log lines), then checked.
void CheckGameFilesInWindow(UiPort& ui, const std::string& appDir, const TListSource& list,
                            const std::function<void()>& update);

// Where an installation stands against the snapshot that the list's client line names.
enum class TSnapshotStanding {
    ssLevel,  // it holds every patch the snapshot holds and none newer: checked against it
    ssBehind, // a patch that the snapshot holds is still to be applied by an update
    ssAhead,  // it holds a patch newer than the snapshot: healed to it, it would go back a release
};
// `snapshotPatch` is the client line's last patch; a line without one holds every row of `table`.
TSnapshotStanding StandingAgainstSnapshot(const TPatchList& table, std::optional<std::int32_t> snapshotPatch,
                                          const std::string& appDir);

// Hashes the files that `manifest` names beneath `appDir` on all cores and returns those that are damaged
// or missing, in the manifest's order; false when the application is ending. The window stays alive.
bool FindDamagedFiles(UiPort& ui, const std::string& appDir, const TClientManifest& manifest,
                      const TGameFilesOptions& options, std::vector<TFileFinding>& findings);

} // namespace pc
