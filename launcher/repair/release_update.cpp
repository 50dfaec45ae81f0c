#include "launcher/repair/release_update.h"

#include "framework/file_io.h"
#include "framework/helpers.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/list/client_manifest.h"
#include "launcher/net/download.h"
#include "launcher/net/download_progress.h"
#include "launcher/repair/game_files.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <optional>
#include <set>

namespace pc {
namespace {

// Where the list of removed files is downloaded to and removed from right after: behind a prefix with a
// backslash, as patch archives are, so that no file of a patch can have the name.
constexpr const char* kRemovedDownloadName = "tqm_download\\client.removed";

// Removes the files that release `installed` had and `latest` lacks, as the list's line of removed files
// names them; what a patch of every release between would have removed. False with `why` when that list is
// named but cannot be had or read.
bool RemoveFilesOfOlderRelease(UiPort& ui, const std::string& appDir, const std::string& listBytes,
                               std::int32_t installed, const TClientManifest& latest, TDelivery& delivery,
                               std::string& why) {
    const TRemovedReference reference = ReadRemovedReference(listBytes);
    if (!reference.problem.empty()) {
        why = "the patch list's " + reference.problem.substr(reference.problem.find(' ') + 1);
        return false;
    }
    if (!reference.line)
        return true; // a list from before releases named their removed files, or nothing removed
    const std::string file = appDir + kRemovedDownloadName;
    EnsureFolderOf(file);
    const std::optional<std::vector<TRemovedFile>> removed =
        FetchRemovedFiles(ui, *reference.line, file, &delivery, why);
    if (!removed)
        return false;
    // A name the latest release has in any spelling stays: on a file system that ignores case it is the
    // same file.
    std::set<std::string> kept;
    for (const TClientFile& f : latest.files)
        kept.insert(AsciiLowerCase(f.name));
    std::vector<std::string> names;
    for (const TRemovedFile& f : *removed)
        if (f.from <= installed && installed <= f.to && kept.count(AsciiLowerCase(f.name)) == 0)
            names.push_back(f.name);
    RemoveInstalledFiles(appDir, names, [&ui](const std::string& line) { ui.AppendLogLine(line); });
    return true;
}

} // namespace

std::optional<std::vector<TRemovedFile>> FetchRemovedFiles(UiPort& ui, const TClientLine& line,
                                                           const std::string& file, TDelivery* delivery,
                                                           std::string& why) {
    DownloadOptions options;
    options.sha256 = line.sha256;
    options.maxBytes = kClientManifestMaxBytes;
    options.delivery = delivery;
    std::string reason;
    const bool fetched =
        Download(ui, line.url, file, TProgressBar::pbUntouched, options, DefaultDownloadLimits(), &reason);
    const std::string text = fetched ? ReadWholeFile(file) : std::string();
    RemoveFile(file);
    if (!fetched) {
        why = "the list of removed files cannot be downloaded: " + reason;
        return std::nullopt;
    }
    try {
        return ParseRemovedFiles(text);
    } catch (const EClientManifestError& e) {
        why = e.Message();
        return std::nullopt;
    }
}

TReleasePlan PlanReleaseRoad(UiPort& ui, const std::string& appDir, const TPatchList& table,
                             const std::vector<TDirectRow>& direct,
                             const std::function<bool(const TPatchRec&)>& held) {
    TReleasePlan plan;
    plan.facts = RoadFactsOf(table, direct, appDir);
    plan.road = ChooseRoad(plan.facts);
    if (plan.road.kind != TRoadKind::rkRows && !plan.facts.fromNothing) {
        const std::int32_t installed = plan.facts.installed.value_or(0);
        for (std::int32_t i = 0; i <= table.high; ++i) {
            const TPatchRec& row = table.items[static_cast<std::size_t>(i)];
            if (row.release > installed && !IsPatchApplied(appDir, row.id) && held(row)) {
                plan.road = TRoad{};
                break;
            }
        }
    }
    if (plan.road.kind == TRoadKind::rkDirect) {
        for (const TDirectRow& row : direct)
            if (row.release == plan.facts.latest && row.from == *plan.facts.installed)
                plan.direct = row;
        for (std::int32_t i = 0; i <= table.high; ++i) {
            const TPatchRec& row = table.items[static_cast<std::size_t>(i)];
            if (row.release > plan.direct.from && row.release <= plan.direct.release &&
                !IsPatchApplied(appDir, row.id))
                plan.standsFor.push_back(row.id);
        }
        // A direct row whose rows are all applied already has nothing to stand for.
        if (plan.standsFor.empty())
            plan.road = TRoad{};
    }
    if (const std::string line = RoadLine(plan.facts, plan.road); !line.empty())
        ui.AppendLogLine(line);
    return plan;
}

bool TakeDirectInstead(const TReleasePlan& plan, TPatchRec& row) {
    if (plan.road.kind != TRoadKind::rkDirect || row.release <= plan.direct.from ||
        row.release > plan.direct.release)
        return false;
    row = plan.direct.row;
    return true;
}

bool HealToLatestRelease(UiPort& ui, const std::string& appDir, const TPatchList& table,
                         const std::string& listFile, std::optional<std::int32_t> installed,
                         TDelivery& delivery) {
    const std::string listBytes = ReadWholeFile(listFile);
    const TClientReference reference = ReadClientReference(listBytes);
    TGameFilesResult result;
    if (reference.line) {
        constexpr std::int32_t kSteps = 1000;
        TGameFilesOptions options;
        options.heal = true;
        std::optional<TDownloadProgressLine> fetching;
        options.onProgress = [&](bool healing, std::int64_t done, std::int64_t total) {
            if (healing) {
                if (!fetching) {
                    fetching.emplace(ui, kFetchingGameFilesLine);
                    fetching->Start();
                }
                fetching->Update(done, total);
            }
            ui.SetProgressPosition(total <= 0 ? kSteps : static_cast<std::int32_t>(done * kSteps / total));
        };
        ui.SetProgressPosition(0);
        ui.SetProgressMax(kSteps);
        ui.SetProgressVisible(true);
        result =
            CheckAgainstSnapshot(ui, appDir, *reference.line, options, DefaultDownloadLimits(), delivery);
        ui.SetProgressVisible(false);
    } else {
        result.failure = reference.problem.empty() ? "the list names no client snapshot" : reference.problem;
    }
    if (result.stage != TGameFilesResult::TStage::gsChecked || !result.notRepaired.empty()) {
        const std::string why = !result.failure.empty()      ? result.failure
                                : result.notRepaired.empty() ? std::string("the update was ended")
                                                             : result.notRepaired.front().first + ": " +
                                                                   result.notRepaired.front().second;
        ui.AppendLogLine(kGameFilesNotRepairedLine);
        ui.ReportDownloadFailure("game files", why);
        return false;
    }
    if (std::string why; installed && !RemoveFilesOfOlderRelease(ui, appDir, listBytes, *installed,
                                                                 result.manifest, delivery, why)) {
        ui.ReportDownloadFailure("game files", why);
        return false;
    }
    // The installation is now the snapshot's release: every row the snapshot holds is in it.
    const std::optional<std::int32_t> last =
        reference.line->patch ? reference.line->patch : HighestListedPatch(table);
    for (std::int32_t i = 0; last && i <= table.high; ++i) {
        const TPatchRec& row = table.items[static_cast<std::size_t>(i)];
        if (row.id <= *last && !IsPatchApplied(appDir, row.id))
            RecordPatchApplied(appDir, row.id);
    }
    return true;
}

} // namespace pc
