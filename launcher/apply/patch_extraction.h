// Extracting one patch archive over an installation: its whole files through the archive component, its
// deltas decoded against the installed files (a file whose delta cannot be applied is taken whole from
// the companion archive), then its removals. The launcher, `patchctl update` and `patchctl extract` all
// extract patches here.
#pragma once

#include "archive/zip_archiver.h"
#include "launcher/apply/delta_patch.h"
#include "launcher/net/remote_zip.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pc {

class UiPort;
class TDelivery;

// Where the whole new content of files carried as deltas comes from: the companion archive, on the
// server beside the patch or, for `patchctl extract`, on disk beside it.
class TFullCopySource {
public:
    virtual ~TFullCopySource() = default;
    // Hands each of the named entries to `sink` (Begin, Write..., then Commit or Abandon). False with
    // `failure` when not every one could be had.
    virtual bool Fetch(const std::vector<std::string>& names, TRemoteEntrySink& sink,
                       std::string& failure) = 0;
};

// Opens the companion named by a patch's manifest (relative to the patch); null when there is none to open.
using TCompanionOpener = std::function<std::unique_ptr<TFullCopySource>(const std::string& companion)>;
using TLogLine = std::function<void(const std::string& line)>;

// Extracts the archive open in `zip` over `zip.BaseDir`. Every delta is produced first, into temporaries
// beside the files it replaces, and verified by its SHA-256; then the whole files are extracted as the
// component's settings say; only when that run completed are the temporaries renamed into place and the
// removals carried out. Returns the component run's outcome: a run that stopped early (an Abort, a full
// disk) changes no file a delta or a removal concerns. Raises EDeltaError (a damaged manifest, a full
// copy that cannot be had or does not match), EInOutError "Disk full" while a delta is written.
TZARunOutcome ExtractPatch(TZipArchiver& zip, const TCompanionOpener& openCompanion, const TLogLine& log);

// Removes the named files ('/' between folders) beneath `base` (ending with its separator), and the folders
// that leaves empty: never one of the launcher's own files (the log says so), never through a link that
// leads out of the installation; a name that is not there, or is a folder, is passed over.
void RemoveInstalledFiles(const std::string& base, const std::vector<std::string>& names,
                          const TLogLine& log);

// The manifest of the archive open in `zip`; nothing for a patch without deltas and removals. EDeltaError
// when it is damaged.
std::optional<TDeltaManifest> ReadDeltaManifest(TZipArchiver& zip);
// What the files that the deltas of the patch open in `zip` decode to take on disk beside the files they
// replace, until the whole patch is in place: the new sizes of its deltas (0 for a patch without).
// EDeltaError when the manifest is damaged.
std::int64_t DecodedDeltaBytes(TZipArchiver& zip);
// Whether the entry lies in the reserved folder, which is never written into the installation.
bool IsReservedEntry(const TDirItem& item);
// The index of the entry stored under `name` ('/' between folders), -1 when there is none.
std::int32_t FindEntry(TZipArchiver& zip, const std::string& name);

// The companion on disk beside a patch archive, read with the archive component.
std::unique_ptr<TFullCopySource> OpenLocalCompanion(const std::string& path);

// The companion on the server, read with the ranged entry reader: only the entries asked for travel; under
// the run's delivery policy (mirrors, hosts that did not answer, Retry-After) when one is given.
std::unique_ptr<TFullCopySource> OpenRemoteCompanion(UiPort& ui, const std::string& url,
                                                     TDelivery* delivery = nullptr);

// The companion's URL: the folder of the patch's URL (without query or fragment) and the companion's name.
std::string CompanionUrl(const std::string& patchUrl, const std::string& companion);

} // namespace pc
