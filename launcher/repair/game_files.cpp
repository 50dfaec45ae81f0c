#include "launcher/repair/game_files.h"

#include "archive/extract_files.h"
#include "framework/crypto.h"
#include "framework/file_system.h"
#include "framework/helpers.h"
#include "framework/install_lock.h"
#include "framework/line_list.h"
#include "launcher/apply/disk_space.h"
#include "launcher/install/installation.h"
#include "launcher/list/list_fetch.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/download_progress.h"
#include "launcher/net/remote_zip.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace pc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kHashPiece = 1 << 20;
// How often the window is kept alive and told the progress while the files are hashed.
constexpr std::chrono::milliseconds kPumpInterval{50};

// Where the manifest is downloaded to and removed from right after: behind a prefix with a backslash, as
// patch archives are, so that no file of a patch can have the name.
constexpr const char* kManifestDownloadName = "tqm_download\\client.manifest";

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Removes a file when it goes out of scope, however the scope is left.
class TRemoveAfterwards {
public:
    explicit TRemoveAfterwards(std::string path) : path_(std::move(path)) {}
    TRemoveAfterwards(const TRemoveAfterwards&) = delete;
    TRemoveAfterwards& operator=(const TRemoveAfterwards&) = delete;
    ~TRemoveAfterwards() { RemoveFile(path_); }

private:
    std::string path_;
};

// Whether `path` (UTF-8) leads to a regular file, through any links.
bool IsRegularThroughLinks(const std::string& path) {
    std::error_code error;
    const std::u8string name(path.begin(), path.end());
    return std::filesystem::is_regular_file(std::filesystem::path(name), error) && !error;
}

// What the file at `path` is against its line of the manifest. Only that name is opened.
TFileState CheckOneFile(const std::string& path, const TClientFile& file, std::atomic<std::int64_t>& hashed,
                        const std::atomic<bool>& stop, std::vector<char>& buffer) {
    // A pipe or a device in a file's place is damaged as it stands: opened, it could wait for ever.
    if (fsys::IsDirectory(path) || (IsLinkOrSpecialFile(path) && !IsRegularThroughLinks(path))) {
        hashed += file.size;
        return TFileState::fsDamaged;
    }
    const fsys::TFile opened = fsys::OpenExisting(path, fsys::TAccess::Read, fsys::TShare::DenyNone);
    if (!opened.Valid() || fsys::SizeOf(opened) != file.size) {
        hashed += file.size;
        // Something that is there but cannot be read is as damaged as one of the wrong size.
        return opened.Valid() || fsys::IsNonDirectory(path) ? TFileState::fsDamaged : TFileState::fsMissing;
    }
    TSha256 hasher;
    std::int64_t done = 0;
    while (done < file.size) {
        if (stop)
            return TFileState::fsIntact;
        const std::int64_t want = std::min<std::int64_t>(kHashPiece, file.size - done);
        const std::int64_t got = fsys::ReadAt(opened, buffer.data(), want, done);
        if (got <= 0) {
            hashed += file.size - done;
            return TFileState::fsDamaged;
        }
        hasher.Update(buffer.data(), static_cast<std::size_t>(got));
        done += got;
        hashed += got;
    }
    return hasher.HexDigest() == file.sha256 ? TFileState::fsIntact : TFileState::fsDamaged;
}

// Takes the entries of the files to heal: each is written to a temporary beside its place, checked
// against the manifest and only then renamed over what is there.
class THealingSink final : public TRemoteEntrySink {
public:
    THealingSink(const std::string& appDir, const std::map<std::string, const TClientFile*>& wanted,
                 TGameFilesResult& result, std::function<void(std::int64_t)> written)
        : appDir_(appDir), wanted_(wanted), result_(result), written_(std::move(written)) {}

    void Begin(const TRemoteEntry& entry) override {
        file_ = wanted_.at(entry.name);
        failure_.clear();
        size_ = 0;
        hasher_.Reset();
        const auto slash = entry.name.rfind('/');
        if (slash != std::string::npos &&
            fsys::MakeDirectoriesBeneath(appDir_, entry.name.substr(0, slash)) != fsys::TBeneath::Inside) {
            failure_ = "its folder cannot be made inside the installation";
            return;
        }
        if (!output_.Create(appDir_ + entry.name))
            failure_ = "it cannot be written";
    }

    void Write(const char* data, std::size_t size) override {
        if (!failure_.empty())
            return;
        if (output_.Write(data, static_cast<std::int64_t>(size)) != static_cast<std::int64_t>(size)) {
            failure_ = output_.OutOfSpace() ? "the disk is full" : "it cannot be written";
            output_.Discard();
            return;
        }
        hasher_.Update(data, size);
        size_ += static_cast<std::int64_t>(size);
        written_(static_cast<std::int64_t>(size));
    }

    void Commit(const TRemoteEntry& entry) override {
        if (failure_.empty() && (size_ != file_->size || hasher_.HexDigest() != file_->sha256))
            failure_ = "the archive's copy does not hash as the manifest says";
        if (failure_.empty()) {
            // The manifest's permissions, as extraction gives an entry made on Unix its own.
            output_.SetEntryAttributes(static_cast<std::uint16_t>(3 << 8), (file_->mode << 16) | 0x20);
            if (!output_.Commit())
                failure_ = "it cannot be put in place";
        }
        if (failure_.empty())
            result_.repaired.push_back(entry.name);
        else {
            output_.Discard();
            result_.notRepaired.emplace_back(entry.name, failure_);
        }
    }

    void Abandon(const TRemoteEntry& entry) override {
        output_.Discard();
        result_.notRepaired.emplace_back(entry.name,
                                         failure_.empty() ? "the archive's copy is damaged" : failure_);
    }

private:
    const std::string& appDir_;
    const std::map<std::string, const TClientFile*>& wanted_;
    TGameFilesResult& result_;
    std::function<void(std::int64_t)> written_;
    const TClientFile* file_ = nullptr;
    TZAOutputFile output_;
    TSha256 hasher_;
    std::int64_t size_ = 0;
    std::string failure_;
};

// Heals the files of `result.findings` from the archive beside the manifest.
void HealFiles(UiPort& ui, const std::string& appDir, const std::string& archiveUrl,
               const TClientManifest& manifest, const TGameFilesOptions& options,
               const DownloadLimits& limits, TDelivery& delivery, TGameFilesResult& result) {
    std::map<std::string, const TClientFile*> wanted;
    std::int64_t total = 0;
    for (const TFileFinding& finding : result.findings) {
        const auto file =
            std::lower_bound(manifest.files.begin(), manifest.files.end(), finding.name,
                             [](const TClientFile& f, const std::string& n) { return f.name < n; });
        wanted[finding.name] = &*file;
        total = SaturatingAdd(total, file->size);
    }
    auto failAll = [&](const std::string& reason) {
        for (const auto& [name, file] : wanted)
            result.notRepaired.emplace_back(name, reason);
    };

    TRemoteZip zip(ui, archiveUrl, limits, {}, &delivery);
    std::string failure;
    if (!zip.ReadDirectory(failure)) {
        result.bytesFetched = zip.BytesReceived();
        failAll("the client archive cannot be read: " + failure);
        return;
    }
    // Every file to heal must be in the archive as the manifest describes it before any is touched.
    std::vector<const TRemoteEntry*> entries;
    for (const auto& [name, file] : wanted) {
        const TRemoteEntry* entry = zip.Find(name);
        std::string problem;
        if (entry == nullptr)
            problem = "the client archive does not hold " + name;
        else if (entry->size != file->size)
            problem = "the client archive's directory gives " + name + " " + std::to_string(entry->size) +
                      " bytes, the manifest " + std::to_string(file->size);
        if (!problem.empty()) {
            result.bytesFetched = zip.BytesReceived();
            failAll("the manifest does not match the client archive: " + problem);
            return;
        }
        entries.push_back(entry);
    }

    // Each file is written beside the one it replaces: a disk without room for them all is told before
    // their bytes travel.
    RequireDiskSpace(appDir, total);
    std::int64_t done = 0;
    THealingSink sink(appDir, wanted, result, [&](std::int64_t bytes) {
        done += bytes;
        if (options.onProgress)
            options.onProgress(true, done, total);
    });
    if (options.onProgress)
        options.onProgress(true, 0, total);
    const bool fetched = zip.Fetch(entries, sink, failure);
    result.bytesFetched = zip.BytesReceived();
    // Told in the manifest's order, whatever the archive's.
    std::sort(result.repaired.begin(), result.repaired.end());
    std::sort(result.notRepaired.begin(), result.notRepaired.end());
    if (fetched)
        return;
    // The entries that the failed transfer never reached.
    for (const auto& entry : wanted) {
        const std::string& name = entry.first;
        const bool settled =
            std::find(result.repaired.begin(), result.repaired.end(), name) != result.repaired.end() ||
            std::any_of(result.notRepaired.begin(), result.notRepaired.end(),
                        [&](const auto& item) { return item.first == name; });
        if (!settled)
            result.notRepaired.emplace_back(name, failure);
    }
    std::sort(result.notRepaired.begin(), result.notRepaired.end());
}

} // namespace

bool FindDamagedFiles(UiPort& ui, const std::string& appDir, const TClientManifest& manifest,
                      const TGameFilesOptions& options, std::vector<TFileFinding>& findings) {
    const std::vector<TClientFile>& files = manifest.files;
    std::int64_t total = 0;
    for (const TClientFile& file : files)
        total = SaturatingAdd(total, file.size);
    std::vector<TFileState> states(files.size(), TFileState::fsIntact);
    std::atomic<std::size_t> next{0};
    std::atomic<std::int64_t> hashed{0};
    std::atomic<bool> stop{false};
    std::atomic<unsigned> running{0};
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable finished;

    auto work = [&] {
        try {
            std::vector<char> buffer(static_cast<std::size_t>(kHashPiece));
            for (std::size_t i; !stop && (i = next++) < files.size();) {
                if (IsLauncherOwnFile(files[i].name))
                    hashed += files[i].size;
                else
                    states[i] = CheckOneFile(appDir + files[i].name, files[i], hashed, stop, buffer);
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(mutex);
            if (!error)
                error = std::current_exception();
            stop = true;
        }
        std::lock_guard<std::mutex> hold(mutex);
        --running;
        finished.notify_all();
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned count =
        static_cast<unsigned>(std::min<std::size_t>(cores, std::max<std::size_t>(files.size(), 1)));
    std::vector<std::thread> workers;
    running = count;
    for (unsigned i = 0; i < count; ++i)
        workers.emplace_back(work);
    // The window thread keeps the window alive and shows the progress while the workers hash, from the
    // start: an exit asked for before the first pause ends the check too, however fast the disk.
    for (;;) {
        if (options.onProgress)
            options.onProgress(false, hashed, total);
        ui.PumpMessages();
        if (ui.TerminationRequested())
            stop = true;
        std::unique_lock<std::mutex> hold(mutex);
        if (finished.wait_for(hold, kPumpInterval, [&] { return running == 0; }))
            break;
    }
    for (std::thread& worker : workers)
        worker.join();
    if (error)
        std::rethrow_exception(error);
    if (ui.TerminationRequested())
        return false;
    if (options.onProgress)
        options.onProgress(false, total, total);
    findings.clear();
    for (std::size_t i = 0; i < files.size(); ++i)
        if (states[i] != TFileState::fsIntact)
            findings.push_back({files[i].name, states[i]});
    return true;
}

TSnapshotStanding StandingAgainstSnapshot(const TPatchList& table, std::optional<std::int32_t> snapshotPatch,
                                          const std::string& appDir) {
    const std::optional<std::int32_t> last = snapshotPatch ? snapshotPatch : HighestListedPatch(table);
    if (!last)
        return TSnapshotStanding::ssLevel; // nothing to be behind or ahead of
    const std::optional<std::int32_t> highest = HighestAppliedPatch(appDir);
    if (highest && *highest > *last)
        return TSnapshotStanding::ssAhead;
    for (std::int32_t i = 0; i <= table.high; ++i)
        if (table.items[static_cast<std::size_t>(i)].id <= *last && IsRowNeeded(table, i, appDir, highest))
            return TSnapshotStanding::ssBehind;
    return TSnapshotStanding::ssLevel;
}

TGameFilesResult CheckGameFiles(UiPort& ui, const std::string& appDir, const TListSource& list,
                                const TGameFilesOptions& options, const DownloadLimits& limits) {
    TGameFilesResult result;
    // Only a check that heals may make the lock file; one that only reads waits for an update only when the
    // lock file is there to be opened.
    TInstallationLock lock(appDir, options.heal);
    if (!WaitForOtherUpdates(ui, lock)) {
        result.stage = TGameFilesResult::TStage::gsEnded;
        return result;
    }

    // The list, as the update run fetches and believes it, with one delivery policy for every download of
    // the check.
    TDelivery delivery;
    const std::string downloadDir = options.downloadDir.empty() ? appDir : options.downloadDir;
    const std::string listFile = downloadDir + kPatchListFileName;
    TRemoveAfterwards removeList(listFile);
    const TFetchedList fetched =
        FetchPatchList(ui, appDir, list, delivery, limits, TListKeeping{downloadDir, !options.heal});
    switch (fetched.end) {
    case TFetchedList::TEnd::leFetched:
        break;
    case TFetchedList::TEnd::leEnded:
        result.stage = TGameFilesResult::TStage::gsEnded;
        return result;
    case TFetchedList::TEnd::leUnavailable:
        result.failure = "the patch list cannot be downloaded: " + fetched.reason;
        return result;
    case TFetchedList::TEnd::leRefused:
        result.failure = "the patch list is refused: " + fetched.reason;
        return result;
    }
    const std::string listText = ReadWholeFile(listFile);
    delivery.SetMirrorRules(MirrorRulesOf(listText));
    const TClientReference reference = ReadClientReference(listText);
    if (!reference.line) {
        if (reference.problem.empty())
            result.stage = TGameFilesResult::TStage::gsNoManifest;
        else
            result.failure = "the patch list's client line is refused: " + reference.problem;
        return result;
    }
    {
        auto table = std::make_unique<TPatchList>();
        ParsePatchList(listFile, *table);
        switch (StandingAgainstSnapshot(*table, reference.line->patch, appDir)) {
        case TSnapshotStanding::ssBehind:
            result.stage = TGameFilesResult::TStage::gsBehind;
            return result;
        case TSnapshotStanding::ssAhead:
            result.stage = TGameFilesResult::TStage::gsAhead;
            return result;
        case TSnapshotStanding::ssLevel:
            break;
        }
    }

    return CheckAgainstSnapshot(ui, appDir, *reference.line, options, limits, delivery);
}

TGameFilesResult CheckAgainstSnapshot(UiPort& ui, const std::string& appDir, const TClientLine& clientLine,
                                      const TGameFilesOptions& options, const DownloadLimits& limits,
                                      TDelivery& delivery) {
    TGameFilesResult result;
    const std::string downloadDir = options.downloadDir.empty() ? appDir : options.downloadDir;
    // The manifest, which must be the one the list names.
    const std::string manifestFile = downloadDir + kManifestDownloadName;
    EnsureFolderOf(manifestFile);
    TRemoveAfterwards removeManifest(manifestFile);
    DownloadOptions manifestOptions;
    manifestOptions.sha256 = clientLine.sha256;
    manifestOptions.maxBytes = kClientManifestMaxBytes;
    manifestOptions.delivery = &delivery;
    std::string reason;
    if (!Download(ui, clientLine.url, manifestFile, TProgressBar::pbUntouched, manifestOptions, limits,
                  &reason)) {
        result.failure = "the client manifest cannot be downloaded: " + reason;
        return result;
    }
    TClientManifest manifest;
    try {
        manifest = ParseClientManifest(ReadWholeFile(manifestFile));
    } catch (const EClientManifestError& e) {
        result.failure = e.Message();
        return result;
    }

    if (!FindDamagedFiles(ui, appDir, manifest, options, result.findings)) {
        result.stage = TGameFilesResult::TStage::gsEnded;
        return result;
    }
    result.stage = TGameFilesResult::TStage::gsChecked;
    if (options.heal && !result.findings.empty())
        HealFiles(ui, appDir, ClientArchiveUrl(clientLine.url, manifest.archiveName), manifest, options,
                  limits, delivery, result);
    result.manifest = std::move(manifest);
    return result;
}

void CheckGameFilesInWindow(UiPort& ui, const std::string& appDir, const TListSource& list,
                            const std::function<void()>& update) {
    constexpr std::int32_t kSteps = 1000;
    ui.AppendLogLine(kCheckingGameFilesLine);
    TGameFilesOptions options;
    options.heal = true;
    bool healing = false;
    // The files that heal arrive as a download does, with the same line.
    std::optional<TDownloadProgressLine> fetching;
    std::int64_t fetched = 0, toFetch = 0;
    options.onProgress = [&](bool healingNow, std::int64_t done, std::int64_t total) {
        if (healingNow != healing) {
            healing = healingNow;
            ui.SetProgressPosition(0);
        }
        if (healingNow) {
            if (!fetching) {
                fetching.emplace(ui, kFetchingGameFilesLine);
                fetching->Start();
            }
            fetching->Update(fetched = done, toFetch = total);
        }
        ui.SetProgressPosition(total <= 0 ? kSteps : static_cast<std::int32_t>(done * kSteps / total));
    };
    auto check = [&] {
        ui.SetProgressPosition(0);
        ui.SetProgressMax(kSteps);
        ui.SetProgressVisible(true);
        try {
            TGameFilesResult outcome = CheckGameFiles(ui, appDir, list, options, DefaultDownloadLimits());
            ui.SetProgressVisible(false);
            return outcome;
        } catch (...) {
            ui.SetProgressVisible(false);
            throw;
        }
    };
    TGameFilesResult result = check();
    // Patches that the server's snapshot holds come by the update, which the check then follows.
    if (result.stage == TGameFilesResult::TStage::gsBehind) {
        update();
        if (ui.TerminationRequested())
            return;
        result = check();
    }
    if (fetching)
        fetching->Finish(fetched, toFetch);
    switch (result.stage) {
    case TGameFilesResult::TStage::gsBehind:
        ui.AppendLogLine(kUpdateBeforeCheckLine);
        return;
    case TGameFilesResult::TStage::gsAhead:
        ui.AppendLogLine(kSnapshotOlderLine);
        return;
    case TGameFilesResult::TStage::gsNoManifest:
        ui.AppendLogLine(kNoManifestLine);
        return;
    case TGameFilesResult::TStage::gsUnavailable:
        ui.AppendLogLine(kNoManifestAtHandLine);
        ui.ReportDownloadFailure("list of the game files", result.failure);
        return;
    case TGameFilesResult::TStage::gsEnded:
        return;
    case TGameFilesResult::TStage::gsChecked:
        break;
    }
    if (result.findings.empty()) {
        ui.AppendLogLine(kGameFilesIntactLine);
        return;
    }
    for (const std::string& name : result.repaired)
        ui.AppendLogLine("- Repaired: " + name);
    for (const auto& [name, reason] : result.notRepaired) {
        ui.AppendLogLine("- Cannot repair: " + name);
        ui.ReportDownloadFailure(name, reason);
    }
    ui.AppendLogLine(result.notRepaired.empty() ? kGameFilesRepairedLine : kGameFilesNotRepairedLine);
}

} // namespace pc
