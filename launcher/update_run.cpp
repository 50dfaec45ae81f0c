#include "launcher/update_run.h"

#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_system.h"
#include "framework/helpers.h"
#include "framework/install_lock.h"
#include "framework/output_file.h"
#include "launcher/config.h"
#include "launcher/delivery.h"
#include "launcher/disk_space.h"
#include "launcher/download.h"
#include "launcher/download_progress.h"
#include "launcher/launching.h"
#include "launcher/list_freshness.h"
#include "launcher/list_signature.h"
#include "launcher/patch_extraction.h"
#include "launcher/patch_list.h"
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

// How often a run that waits for another update of the installation looks again, pumping in between.
constexpr std::chrono::milliseconds kLockPollInterval{50};

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

const TPatchRec& Row(std::int32_t index) {
    return PatchList().items[static_cast<std::size_t>(index)];
}

} // namespace

std::string ArchiveFileName(const std::string& url, bool keepExtension) {
    const auto slash = url.rfind('/');
    std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
    if (!keepExtension) {
        const auto dot = name.find('.');
        if (dot != std::string::npos)
            name.erase(dot);
    }
    return name;
}

namespace {

// Characters that either edition's file system refuses in a name, or that would make the name leave the
// download folder.
bool IsRefusedInName(unsigned char c) {
    return c < 0x20 || c == 0x7F ||
           std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos;
}

// Windows opens its devices under these names whatever the extension ("NUL.zip" is the null device).
bool IsDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// The last UTF-8 character boundary at or before `length`, so no shortened name ends in half a letter.
std::size_t CharacterBoundary(const std::string& text, std::size_t length) {
    while (length > 0 && length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

} // namespace

std::string StoredArchiveName(const std::string& url) {
    const std::string location = url.substr(0, url.find_first_of("?#"));
    std::string name = ArchiveFileName(location, true);
    for (char& c : name)
        if (IsRefusedInName(static_cast<unsigned char>(c)))
            c = '_';
    // Windows drops trailing dots and blanks, so "p1.zip." would be "p1.zip"; "." and ".." name folders.
    for (auto it = name.rbegin(); it != name.rend() && (*it == '.' || *it == ' '); ++it)
        *it = '_';
    if (IsDeviceName(name))
        name.insert(0, "_");
    if (!name.empty() && name.size() <= kMaxStoredNameBytes)
        return name;

    // Too long for every file system (or nothing left): the head of the name stays readable, the digest
    // of the whole URL keeps names of different URLs apart, and a short extension stays at the end.
    TSha256 hasher;
    hasher.Update(url.data(), url.size());
    const std::string digest = "~" + hasher.HexDigest().substr(0, 16);
    std::string extension;
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0 && name.size() - dot <= 16)
        extension = name.substr(dot);
    const std::size_t room = kMaxStoredNameBytes - digest.size() - extension.size();
    std::string head =
        name.substr(0, CharacterBoundary(name, std::min(room, name.size() - extension.size())));
    if (head.empty() && extension.empty())
        head = "patch";
    return head + digest + extension;
}

std::string StoredArchivePath(const std::string& appDir, const std::string& url) {
    return appDir + kStoredArchivePrefix + StoredArchiveName(url);
}

std::string ResumeStatePath(const std::string& appDir, const std::string& url) {
    return appDir + kResumeStatePrefix + StoredArchiveName(url);
}

std::string UpdateNotFinishedLine(const std::exception& error) {
    // No update could be kept from running alongside this one: it never began.
    if (const auto* lock = dynamic_cast<const ENotARegularLock*>(&error))
        return "- " + lock->Message();
    std::string line = "- The update did not finish";
    if (const auto* io = dynamic_cast<const EInOutError*>(&error);
        io != nullptr && !io->Path.empty() && (io->ErrorCode == kDiskFullCode || io->ErrorCode == 5))
        line += " [" + io->Path + "]";
    return line;
}

void ApplyPatch(UiPort& ui, std::int32_t index, TDelivery* delivery) {
    const TPatchRec& row = Row(index);
    const std::string& appDir = Config().applicationDir;
    const std::string archive = StoredArchivePath(appDir, row.url);

    TZipArchiver& zip = ui.ZipArchiver();
    zip.FileName = SystemToWide(archive);
    zip.Open();
    {
        OpenArchiveGuard closeAfterwards(zip);
        zip.BaseDir = SystemToWide(appDir);
        // A disk that cannot take the whole patch is told now, not half-way through its files.
        RequireDiskSpace(appDir, ExtractionGrowth(zip));
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
    RecordPatchApplied(row.id);
}

namespace {

// Whether the run still needs row `index`: not applied, not superseded by a later row of its group, and
// not older than a patch already applied (applied after it, it would bring back older files).
// `highest` is the ledger's highest id, looked up once by the caller.
bool IsRowNeeded(std::int32_t index, std::optional<std::int32_t> highest) {
    const TPatchRec& row = Row(index);
    if (highest && row.id < *highest)
        return false;
    if (IsPatchApplied(row.id))
        return false;
    // Only the last row of a group is applied: a later one carries everything the earlier ones did.
    return row.group == 0 || FindLaterInGroup(index) == -1;
}

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
void RemoveUnneededPartials(const std::string& appDir) {
    std::set<std::string> needed;
    const TPatchList& table = PatchList();
    const std::optional<std::int32_t> highest = HighestAppliedPatch(appDir);
    for (std::int32_t i = 0; i <= table.high; ++i)
        if (IsRowNeeded(i, highest))
            needed.insert(StoredArchiveName(Row(i).url));
    for (const std::string& prefix : {std::string(kStoredArchivePrefix), std::string(kResumeStatePrefix)}) {
        for (const std::string& name : FilesStartingWith(appDir, prefix)) {
            if (needed.count(name.substr(prefix.size())) == 0 && !ReachesALauncherFile(appDir, appDir + name))
                RemoveFile(appDir + name);
        }
    }
}

} // namespace

void UpdateRun(UiPort& ui, const std::string& patchListUrl) {
    bool anyApplied = false;
    ui.AppendLogLine("- Searching for updates...");

    const std::string appDir = Config().applicationDir;
    TInstallationLock lock(appDir);
    if (!WaitForOtherUpdates(ui, lock))
        return;
    // What a killed run left (temporaries of a patch that may never be applied again), and programs that
    // an earlier run replaced while they ran (Windows), which have ended by now.
    fsys::RemoveLeftovers(appDir);

    const std::string listFile = appDir + kPatchListFileName;
    std::string reason;
    // One policy for every download of this run: a host that did not answer is not asked again.
    TDelivery delivery;
    DownloadOptions listOptions;
    listOptions.maxBytes = kPatchListMaxBytes;
    listOptions.delivery = &delivery;
    // The list's mirrors from Config.ini, in order, when patchlist_url cannot serve it.
    std::string listSource;
    std::vector<std::string> listSources{patchListUrl};
    listSources.insert(listSources.end(), Config().patchListMirrors.begin(), Config().patchListMirrors.end());
    for (const std::string& source : listSources) {
        if (Download(ui, source, listFile, false, listOptions, DefaultDownloadLimits(), &reason)) {
            listSource = source;
            break;
        }
        if (ui.TerminationRequested())
            break;
    }
    if (listSource.empty()) {
        ui.AppendLogLine("- Cannot download patch list");
        ui.ReportDownloadFailure("patch list", reason);
        return;
    }
    // With a key in Config.ini only a list that this server's operator signed is read at all, and only
    // when it is no older than the one accepted before and has not expired. The signature comes from the
    // place that served the list.
    if (Config().hasPatchListKey) {
        const TListAcceptance acceptance =
            AcceptSignedList(ui, listSource, listFile, appDir, Config().patchListKey, UnixSecondsNow());
        if (!acceptance.accepted) {
            ui.AppendLogLine(acceptance.logLine);
            ui.ReportListRefused(acceptance.reason);
            RemoveFile(listFile);
            return;
        }
    }
    // Mirror lines are comments to the rows' reading; a signed list covers them like every other line.
    std::vector<TMirrorRule> mirrorRules;
    ParsePatchList(listFile, PatchList(),
                   [&mirrorRules](std::string_view line) { TakeMirrorLine(line, mirrorRules); });
    delivery.SetMirrorRules(std::move(mirrorRules));

    const TPatchList& table = PatchList();
    // Rows are applied in ascending order under the installation's lock, so the highest id only grows
    // with what this run records.
    std::optional<std::int32_t> highest = HighestAppliedPatch(appDir);
    int count = 0;
    for (std::int32_t i = 0; i <= table.high; ++i)
        count += IsRowNeeded(i, highest) ? 1 : 0;
    int position = 0;
    for (std::int32_t i = 0; i <= table.high; ++i) {
        if (!IsRowNeeded(i, highest))
            continue;
        const TPatchRec& row = Row(i);
        const std::string shown = ArchiveFileName(row.url, false);
        const std::string stored = StoredArchivePath(appDir, row.url);

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
        // Where '\\' separates, the stored names lie in folders of their own (Windows).
        EnsureFolderOf(options.resumeState);
        EnsureFolderOf(stored);
        // A signed list pins what it delivers: a row without a SHA-256 could bring anything.
        const bool pinned = !Config().hasPatchListKey || !row.sha256.empty();
        const bool storable = pinned && !ReachesALauncherFile(appDir, stored);
        if (!pinned)
            reason = "the signed list gives no SHA-256 for it, and a launcher with a patchlist_key downloads "
                     "only archives whose SHA-256 the list gives";
        else if (!storable)
            reason = "its stored name leads to one of the launcher's own files";
        if (storable && Download(ui, row.url, stored, true, options, DefaultDownloadLimits(), &reason)) {
            ui.ReplaceLastLogLine("- Downloaded: " + shown);
            ApplyPatch(ui, i, &delivery);
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
        RemoveUnneededPartials(appDir);
        RemoveFile(listFile);
        return;
    }

    ui.AppendLogLine(anyApplied ? "- Update process completed" : "- No updates has been found");
    RemoveUnneededPartials(appDir);
    RemoveFile(listFile);
}

bool WaitForOtherUpdates(UiPort& ui, TInstallationLock& lock) {
    if (lock.TryAcquire())
        return true;
    ui.AppendLogLine("- Waiting for another update of this game to finish...");
    while (!lock.TryAcquire()) {
        ui.PumpMessages();
        if (ui.TerminationRequested())
            return false;
        std::this_thread::sleep_for(kLockPollInterval);
    }
    return true;
}

} // namespace pc
