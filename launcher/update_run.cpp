#include "launcher/update_run.h"

#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_system.h"
#include "framework/helpers.h"
#include "framework/install_lock.h"
#include "framework/output_file.h"
#include "launcher/apply/disk_space.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/install/installation.h"
#include "launcher/install/settings.h"
#include "launcher/launching.h"
#include "launcher/list/list_fetch.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/row_release.h"
#include "launcher/list/trust_statement.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/download_progress.h"
#include "launcher/repair/release_update.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

namespace pc {
namespace {

// Closes the component's archive when an error leaves the extraction, so that the file that stays in the
// installation is not held open for the rest of the process.
class OpenArchiveGuard {
public:
    explicit OpenArchiveGuard(TZipArchiver& archiver) : archiver_(archiver) {}
    OpenArchiveGuard(const OpenArchiveGuard&) = delete;
    OpenArchiveGuard& operator=(const OpenArchiveGuard&) = delete;
    ~OpenArchiveGuard() { archiver_.Close(); }

private:
    TZipArchiver& archiver_;
};

} // namespace

std::string UpdateNotFinishedLine(const std::exception& error) {
    // No update could be kept from running alongside this one: it never began.
    if (const auto* lock = dynamic_cast<const ENotARegularLock*>(&error))
        return "- " + lock->Message();
    std::string line = "- The update did not finish";
    if (const auto* io = dynamic_cast<const EInOutError*>(&error);
        io != nullptr && !io->Path.empty() &&
        (io->ErrorCode == kDiskFullCode || io->ErrorCode == kAccessDeniedCode))
        line += " [" + io->Path + "]";
    return line;
}

void ApplyPatch(UiPort& ui, const std::string& appDir, const TPatchRec& row, TDelivery* delivery,
                const std::vector<std::int32_t>& standsFor) {
    const std::string archive = StoredArchivePath(appDir, row.url);

    TZipArchiver& zip = ui.ZipArchiver();
    zip.FileName = SystemToWide(archive);
    zip.Open();
    {
        OpenArchiveGuard closeAfterwards(zip);
        zip.BaseDir = SystemToWide(appDir);
        // A disk that cannot take the whole patch is told now, not half-way through its files: the
        // whole files, and what the deltas decode to beside the files they replace.
        RequireDiskSpace(appDir, ExtractionGrowth(zip) + DecodedDeltaBytes(zip));
        // Entries that fail are settled inside the component by its failure dialog; what it lets out ends
        // the run with the patch unrecorded and the archive kept. Deltas whose installed file differs
        // take that file whole from the companion beside the archive on the server.
        const TZARunOutcome outcome = ExtractPatch(
            zip,
            [&](const std::string& companion) {
                return OpenRemoteCompanion(ui, CompanionUrl(row.url, companion), delivery);
            },
            [&](const std::string& line) { ui.AppendLogLine(line); });
        // An extraction that stopped early left the rest of the patch unwritten: recorded, those files
        // would never come. The run ends as for an escaped error; the player asked for an Abort, so that
        // one ends without a further message.
        switch (outcome) {
        case TZARunOutcome::roAborted:
            throw EAbort();
        case TZARunOutcome::roDiskFull:
            // The disk that is full is the installation's.
            throw EInOutError(InOutErrorMessage(kDiskFullCode), kDiskFullCode, appDir);
        case TZARunOutcome::roCompleted:
            break;
        }
    }
    RemoveFile(archive);
    // The archive was kept whole for a later start in case this one could not apply it; it has been.
    RemoveFile(ResumeStatePath(appDir, row.url));

    if (!row.run.empty() && !RunPatchProgram(ui, appDir, row.run)) {
        // The patch itself is in place; say that its own step did not happen instead of passing it over
        // (a program that leaves the installation is never run).
        ui.AppendLogLine("- Cannot run: " + row.run);
    }
    // A row that stands for several (one step from an earlier release) records each of them.
    for (const std::int32_t id : standsFor.empty() ? std::vector<std::int32_t>{row.id} : standsFor)
        RecordPatchApplied(appDir, id);
}

namespace {

// Whether `path` is one of the launcher's own files under another name while the platform sees a plain
// file there: a link it cannot tell from a file (Unix links look so to Windows programs under Wine, where
// writing through the name truncates the launcher's file and deleting it deletes that file). Such a name
// is neither written nor deleted. Links that the platform sees are removed by the download itself.
bool ReachesALauncherFile(const std::string& appDir, const std::string& path) {
    TFileIdentity reached;
    if (IsLinkOrSpecialFile(path) || !FileIdentityOf(path, reached))
        return false;
    std::vector<std::string> ownFiles{ExecutablePath()};
    for (const char* own : kOwnStateFiles)
        ownFiles.push_back(appDir + own);
    for (const std::string& own : ownFiles) {
        TFileIdentity identity;
        if (own != path && FileIdentityOf(own, identity) && identity.device == reached.device &&
            identity.inode == reached.inode)
            return true;
    }
    return false;
}

// Partial downloads (and what is kept to continue them) that no needed row of this list will continue are
// removed, so that they do not hold the player's disk for ever.
void RemoveUnneededPartials(const std::string& appDir, const TPatchList& table, const TReleasePlan& plan) {
    std::set<std::string> needed;
    // A direct row that broke off is continued at the next start, like any row.
    if (plan.road.kind == TRoadKind::rkDirect)
        needed.insert(StoredArchiveName(plan.direct.row.url));
    const std::optional<std::int32_t> highest = HighestAppliedPatch(appDir);
    for (std::int32_t i = 0; i <= table.high; ++i)
        if (IsRowNeeded(table, i, appDir, highest))
            needed.insert(StoredArchiveName(table.items[static_cast<std::size_t>(i)].url));
    for (const std::string& prefix : {std::string(kStoredArchivePrefix), std::string(kResumeStatePrefix)}) {
        for (const std::string& name : FilesStartingWith(appDir, prefix)) {
            if (needed.count(name.substr(prefix.size())) == 0 && !ReachesALauncherFile(appDir, appDir + name))
                RemoveFile(appDir + name);
        }
    }
}

// Ends a run at a row that is held back (not yet released, not yet this installation's share, or
// unreadable): rows after it wait, as they would for a row that failed, but nothing has failed.
void EndAtHeldRow(UiPort& ui, const std::string& appDir, const TPatchList& table, const TReleasePlan& plan,
                  const std::string& line) {
    ui.SetProgressVisible(false);
    ui.AppendLogLine(line);
    RemoveUnneededPartials(appDir, table, plan);
    RemoveFile(appDir + kPatchListFileName);
}

} // namespace

void UpdateRun(UiPort& ui, const std::string& appDir, const TListSource& list) {
    bool anyApplied = false;
    ui.AppendLogLine("- Searching for updates...");

    TInstallationLock lock(appDir);
    if (!WaitForOtherUpdates(ui, lock))
        return;
    // What a killed run left (temporaries of a patch that may never be applied again), and programs that
    // an earlier run replaced while they ran (Windows), which have ended by now.
    fsys::RemoveLeftovers(appDir);

    const std::string listFile = appDir + kPatchListFileName;
    // One policy for every download of this run: a host that did not answer is not asked again.
    TDelivery delivery;
    const TFetchedList fetched = FetchPatchList(ui, appDir, list, delivery, DefaultDownloadLimits());
    switch (fetched.end) {
    case TFetchedList::TEnd::leFetched:
        break;
    case TFetchedList::TEnd::leUnavailable:
    case TFetchedList::TEnd::leEnded:
        ui.AppendLogLine("- Cannot download patch list");
        ui.ReportDownloadFailure("patch list", fetched.reason);
        return;
    case TFetchedList::TEnd::leRefused:
        ui.AppendLogLine(fetched.logLine);
        ui.ReportListRefused(fetched.reason);
        return;
    }
    // Mirror lines are comments to the rows' reading; a signed list covers them like every other line.
    std::vector<TMirrorRule> mirrorRules;
    std::vector<TDirectRow> directRows;
    ParsePatchList(listFile, PatchList(), [&](std::string_view line) {
        TakeMirrorLine(line, mirrorRules);
        TakeDirectRowLine(line, directRows);
    });
    delivery.SetMirrorRules(std::move(mirrorRules));
    const TPatchList& table = PatchList();
    // Release times are judged by the server's clock, so that a wrong clock here neither applies a patch
    // early nor waits for ever; the rollout number is drawn (and kept) only when a row first asks for it.
    const std::int64_t clockOffset = ServerClockOffset(fetched.serverDate, UnixSecondsNow());
    std::optional<std::uint32_t> rolloutNumber;
    const auto holdOf = [&](const TPatchRec& row) {
        return RowHold(row, UnixSecondsNow() + clockOffset, [&] {
            if (!rolloutNumber)
                rolloutNumber = InstallationRolloutNumber(appDir, DrawRolloutNumber);
            return *rolloutNumber;
        });
    };
    std::string reason;
    // The cheapest road to the latest release: the latest snapshot in place of every row, or one direct row
    // in place of the rows it stands for.
    const TReleasePlan plan = PlanReleaseRoad(
        ui, appDir, table, directRows, [&](const TPatchRec& row) { return holdOf(row) != TRowHold::rhNone; });
    if (plan.road.kind == TRoadKind::rkHeal) {
        if (!HealToLatestRelease(ui, appDir, table, listFile,
                                 plan.facts.fromNothing ? std::nullopt : plan.facts.installed, delivery)) {
            ui.AppendLogLine(kUpdateNotCompleteLine);
            RemoveFile(listFile);
            return;
        }
        anyApplied = true;
    }
    // Rows are applied in ascending order under the installation's lock, so the highest id only grows
    // with what this run records.
    std::optional<std::int32_t> highest = HighestAppliedPatch(appDir);
    int count = 0;
    for (std::int32_t i = 0; i <= table.high; ++i)
        count += IsRowNeeded(table, i, appDir, highest) ? 1 : 0;
    count -= std::max<int>(0, static_cast<int>(plan.standsFor.size()) - 1);
    int position = 0;
    for (std::int32_t i = 0; i <= table.high; ++i) {
        if (!IsRowNeeded(table, i, appDir, highest))
            continue;
        TPatchRec row = table.items[static_cast<std::size_t>(i)];
        const bool direct = TakeDirectInstead(plan, row);
        const std::string shown = ArchiveDisplayName(row.url);
        const std::string stored = StoredArchivePath(appDir, row.url);
        if (const TRowHold hold = holdOf(row);
            hold == TRowHold::rhRollingOut || hold == TRowHold::rhUnreadable) {
            EndAtHeldRow(ui, appDir, table, plan, HoldLine(hold, shown, row, UnixSecondsNow() + clockOffset));
            return;
        }

        ui.SetProgressVisible(true);
        ui.SetProgressPosition(0);
        ui.SetProgressMax(row.size);
        TDownloadProgressLine progress(ui, shown, ++position, count);
        progress.Start();
        DownloadOptions options{row.sha256, ResumeStatePath(appDir, row.url)};
        options.onProgress = [&progress](std::int64_t done, std::int64_t total) {
            progress.Update(done, total);
        };
        // Refused before its first byte when the disk cannot take it; the listed size, advisory as it
        // is, stands in for a server that does not say.
        options.beforeWriting = [&appDir, &row](std::int64_t toCome) {
            RequireDiskSpace(appDir, toCome >= 0 ? toCome : row.size);
        };
        options.delivery = &delivery;
        options.keepWhole = row.availableAt > 0;
        // Where '\\' separates, the stored names lie in folders of their own (Windows).
        EnsureFolderOf(options.resumeState);
        EnsureFolderOf(stored);
        // A signed list pins what it delivers: a row without a SHA-256 could bring anything.
        const bool pinned = !list.key || !row.sha256.empty();
        const bool storable = pinned && !ReachesALauncherFile(appDir, stored);
        if (!pinned)
            reason = "the signed list gives no SHA-256 for it, and a launcher with a patchlist_key downloads "
                     "only archives whose SHA-256 the list gives";
        else if (!storable)
            reason = "its stored name leads to one of the launcher's own files";
        if (storable &&
            Download(ui, row.url, stored, TProgressBar::pbStep, options, DefaultDownloadLimits(), &reason)) {
            ui.ReplaceLastLogLine("- Downloaded: " + shown);
            // Preloaded before its release time: kept whole, applied by a start at or after it.
            if (holdOf(row) == TRowHold::rhNotYet) {
                EndAtHeldRow(ui, appDir, table, plan,
                             HoldLine(TRowHold::rhNotYet, shown, row, UnixSecondsNow() + clockOffset));
                return;
            }
            ApplyPatch(ui, appDir, row, &delivery, direct ? plan.standsFor : std::vector<std::int32_t>{});
            anyApplied = true;
            highest = std::max(highest.value_or(row.id), row.id);
            ui.SetProgressVisible(false);
            continue;
        }
        // A later patch must not be applied before this one: the run ends here, and the next start
        // begins again with this row.
        ui.ReplaceLastLogLine("- Cannot download: " + shown);
        ui.ReportDownloadFailure(shown, reason);
        ui.SetProgressVisible(false);
        ui.AppendLogLine(kUpdateNotCompleteLine);
        RemoveUnneededPartials(appDir, table, plan);
        RemoveFile(listFile);
        return;
    }

    ui.AppendLogLine(anyApplied ? "- Update process completed" : "- No updates has been found");
    RemoveUnneededPartials(appDir, table, plan);
    RemoveFile(listFile);
}

} // namespace pc
