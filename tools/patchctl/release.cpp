// patchctl release RELEASES NEW_TREE --list LIST --url BASE_URL: one release in one command. The release's
// snapshot, a patch from the release before it (the chain) and a direct patch from each of the last N
// earlier releases, every old tree taken from that release's own snapshot: the operator keeps no old trees.
#include "archive/zip_writer.h"
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "launcher/apply/delta_patch.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/install/own_files.h"
#include "launcher/list/client_manifest.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/release_road.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/delta_encode.h"
#include "tools/patchctl/file_digest.h"
#include "tools/patchctl/list_text.h"
#include "tools/patchctl/pack.h"
#include "tools/patchctl/signing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pc::patchctl {
namespace {

namespace fs = std::filesystem;

constexpr int kNothingChanged = 1;
constexpr int kRefused = 2;
constexpr int kDefaultDeltas = 8;
constexpr std::uint32_t kRegularFileType = 0100000;

// Why the release stops; told as "patchctl release: WHY; nothing written".
struct Refusal {
    std::string why;
    int status = kRefused;
};

// The releases already in RELEASES (folders named 1, 2, 3, ...), which must follow one another from 1.
std::vector<int> NumberedReleases(const fs::path& root) {
    std::vector<int> numbers;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.size() > 9 || name[0] == '0' ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue; // anything else (notes, a release being written) is not a release
        if (!entry.is_directory())
            throw Refusal{"RELEASES/" + name + " is not a folder"};
        numbers.push_back(std::stoi(name));
    }
    std::sort(numbers.begin(), numbers.end());
    for (std::size_t i = 0; i < numbers.size(); ++i)
        if (numbers[i] != static_cast<int>(i) + 1)
            throw Refusal{"release " + std::to_string(i + 1) + " is missing from " + root.string() +
                          " (a gap before release " + std::to_string(numbers[i]) + ")"};
    return numbers;
}

// An earlier release's snapshot as the patches need it: its manifest, its archive's directory sound and
// holding every file the manifest names.
struct OldRelease {
    int number = 0;
    std::string archive;
    TClientManifest manifest;
    std::map<std::string, const TClientFile*> byName;
};

OldRelease ReadOldRelease(const fs::path& root, int number) {
    OldRelease old;
    old.number = number;
    const fs::path folder = root / std::to_string(number);
    const std::string said =
        "the snapshot of release " + std::to_string(number) + " (" + folder.string() + ")";
    old.archive = (folder / kClientArchiveFileName).string();
    std::error_code error;
    if (!fs::is_regular_file(folder / kClientManifestFileName, error) ||
        !fs::is_regular_file(old.archive, error))
        throw Refusal{said + " is missing"};
    try {
        old.manifest = ParseClientManifest(ReadWholeFile((folder / kClientManifestFileName).string()));
    } catch (const Exception& e) {
        throw Refusal{said + " is damaged: " + e.Message()};
    }
    for (const TClientFile& file : old.manifest.files)
        old.byName.emplace(file.name, &file);
    return old;
}

// Receives old files from a snapshot into files of the work folder, each checked against the manifest.
class OldFileSink : public TRemoteEntrySink {
public:
    OldFileSink(const fs::path& folder, const OldRelease& old) : folder_(folder), old_(old) {}
    void Begin(const TRemoteEntry& entry) override {
        path_ = folder_ / std::to_string(files_.size());
        stream_.open(path_, std::ios::binary | std::ios::trunc);
        hash_ = std::make_unique<TSha256>();
        (void)entry;
    }
    void Write(const char* data, std::size_t size) override {
        stream_.write(data, static_cast<std::streamsize>(size));
        hash_->Update(data, size);
    }
    void Commit(const TRemoteEntry& entry) override {
        stream_.close();
        const auto it = old_.byName.find(entry.name);
        if (it == old_.byName.end() || hash_->HexDigest() != it->second->sha256)
            mismatched_.push_back(entry.name);
        files_[entry.name] = path_;
    }
    void Abandon(const TRemoteEntry&) override {
        stream_.close();
        fs::remove(path_);
    }
    const std::map<std::string, fs::path>& Files() const { return files_; }
    const std::vector<std::string>& Mismatched() const { return mismatched_; }

private:
    fs::path folder_;
    const OldRelease& old_;
    fs::path path_;
    std::ofstream stream_;
    std::unique_ptr<TSha256> hash_;
    std::map<std::string, fs::path> files_;
    std::vector<std::string> mismatched_;
};

// What a changed file costs between one old version and the new one: a delta (its data file in the work
// folder) or the whole file. Shared by every patch whose old release has that version.
struct Coding {
    bool delta = false;
    std::string dataPath;
};

// Everything the patches of one release share: the new tree, read and hashed once by its snapshot, and
// the codings made so far, by old and new SHA-256.
struct NewRelease {
    const TFullPack* pack = nullptr;
    const TClientManifest* manifest = nullptr;
    std::map<std::string, const TZipSourceEntry*> entries;
    std::map<std::pair<std::string, std::string>, Coding> codings;
    fs::path work;
    int made = 0;
};

// A direct patch from each older release is asked of fewer players: it is packed a little faster.
int LevelFor(bool chain) {
    return chain ? kDeltaLevel : kDeltaLevel - 2;
}

Coding CodeFile(NewRelease& release, const TClientFile& before, const TClientFile& after,
                const fs::path& oldPath, bool chain) {
    const auto key = std::make_pair(before.sha256, after.sha256);
    if (const auto it = release.codings.find(key); it != release.codings.end())
        return it->second;
    Coding coding;
    if (before.size <= kMaxDeltaFileBytes && after.size <= kMaxDeltaFileBytes) {
        const std::vector<std::uint8_t> old = ReadWhole(oldPath);
        const std::vector<std::uint8_t> next = ReadWhole(release.entries.at(after.name)->sourcePath);
        const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        const std::string made =
            EncodeDelta(old.data(), old.size(), next.data(), next.size(), LevelFor(chain), threads);
        if (DeflatesLargerThan(next, made.size(), TZipWriteOptions().level)) {
            coding.delta = true;
            coding.dataPath = (release.work / ("delta-" + std::to_string(++release.made))).string();
            ReplaceFile(coding.dataPath, made);
        }
    }
    release.codings.emplace(key, coding);
    return coding;
}

// The folders of `name` ('/' between), each ending with '/'.
void AddFoldersOf(const std::string& name, std::set<std::string>& folders) {
    for (auto slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        folders.insert(name.substr(0, slash + 1));
}

// Writes the patch from `old` to the new release at `out`; its whole copies come from the new release's
// own client.zip beside it.
void WritePatch(NewRelease& release, const OldRelease& old, bool chain, const std::string& out) {
    std::vector<std::pair<const TClientFile*, const TClientFile*>> changed;
    std::vector<std::string> whole;
    for (const TClientFile& file : release.manifest->files) {
        const auto before = old.byName.find(file.name);
        if (before == old.byName.end() || before->second->mode != file.mode)
            whole.push_back(file.name);
        else if (before->second->sha256 != file.sha256)
            changed.emplace_back(before->second, &file);
    }
    // The old versions that no earlier patch of this release has coded, fetched from the old snapshot in
    // one pass.
    std::vector<std::string> toFetch;
    for (const auto& [before, after] : changed)
        if (release.codings.count({before->sha256, after->sha256}) == 0)
            toFetch.push_back(before->name);
    const fs::path oldFolder = release.work / ("old-" + std::to_string(old.number));
    fs::create_directories(oldFolder);
    OldFileSink sink(oldFolder, old);
    if (!toFetch.empty()) {
        std::string failure;
        if (!OpenLocalCompanion(old.archive)->Fetch(toFetch, sink, failure) || !sink.Mismatched().empty())
            throw Refusal{"the snapshot of release " + std::to_string(old.number) + " is damaged: " +
                          (failure.empty() ? sink.Mismatched().front() + " is not the file its manifest names"
                                           : failure)};
    }

    TDeltaManifest manifest;
    std::vector<TZipSourceEntry> entries, reserved;
    std::set<std::string> oldFolders, folders;
    for (const TClientFile& file : old.manifest.files)
        AddFoldersOf(file.name, oldFolders);
    for (const auto& [before, after] : changed) {
        const auto fetched = sink.Files().find(before->name);
        const Coding coding = CodeFile(release, *before, *after,
                                       fetched == sink.Files().end() ? fs::path() : fetched->second, chain);
        if (!coding.delta) {
            whole.push_back(after->name);
            continue;
        }
        TDeltaRecord record;
        record.entry = std::to_string(manifest.deltas.size() + 1) + ".zst";
        record.oldSize = before->size;
        record.oldSha256 = before->sha256;
        record.newSize = after->size;
        record.newSha256 = after->sha256;
        record.mode = after->mode & 0777u;
        record.name = after->name;
        manifest.deltas.push_back(record);
        reserved.push_back({kDeltaFolder + record.entry, coding.dataPath, kRegularFileType | 0644, 0});
    }
    fs::remove_all(oldFolder);
    for (const TClientFile& file : old.manifest.files)
        if (release.entries.count(file.name) == 0)
            manifest.removals.push_back(file.name);
    std::sort(whole.begin(), whole.end());
    for (const std::string& name : whole)
        AddFoldersOf(name, folders);
    // New folders, empty ones included, come as the snapshot has them.
    for (const TZipSourceEntry& entry : release.pack->entries)
        if (entry.sourcePath.empty() && oldFolders.count(entry.name) == 0)
            folders.insert(entry.name);
    std::set<std::string> names(whole.begin(), whole.end());
    names.insert(folders.begin(), folders.end());
    for (const std::string& name : names)
        entries.push_back(*release.entries.at(name));
    if (!manifest.deltas.empty() || !manifest.removals.empty()) {
        if (!manifest.deltas.empty())
            manifest.companion = kClientArchiveFileName;
        const std::string manifestPath =
            (release.work / ("manifest-" + std::to_string(++release.made))).string();
        ReplaceFile(manifestPath, FormatDeltaManifest(manifest));
        entries.push_back({kDeltaManifestEntry, manifestPath, kRegularFileType | 0644, 0});
        entries.insert(entries.end(), reserved.begin(), reserved.end());
    }
    WriteZipArchive(out, entries, TZipWriteOptions());
    std::printf("%s: %zu whole file%s, %zu delta%s, %zu removal%s, %ju bytes\n", out.c_str(), whole.size(),
                whole.size() == 1 ? "" : "s", manifest.deltas.size(), manifest.deltas.size() == 1 ? "" : "s",
                manifest.removals.size(), manifest.removals.size() == 1 ? "" : "s",
                static_cast<std::uintmax_t>(fs::file_size(out)));
}

// The names that releases 1..number-1 had and this one lacks, each with the stretches of releases that had
// it: a launcher healing an older installation to this snapshot removes those its own release had.
std::vector<TRemovedFile> RemovedSinceEarlierReleases(const fs::path& root, int number,
                                                      const std::vector<OldRelease>& olds,
                                                      const TClientManifest& now) {
    std::set<std::string> kept;
    for (const TClientFile& file : now.files)
        kept.insert(file.name);
    std::map<std::string, std::vector<TRemovedFile>> stretches;
    for (int m = 1; m < number; ++m) {
        const auto old =
            std::find_if(olds.begin(), olds.end(), [m](const OldRelease& o) { return o.number == m; });
        TClientManifest read;
        if (old == olds.end()) {
            const fs::path path = root / std::to_string(m) / kClientManifestFileName;
            const std::string said =
                "the manifest of release " + std::to_string(m) + " (" + path.string() + ")";
            std::error_code error;
            if (!fs::is_regular_file(path, error))
                throw Refusal{said + " is missing"};
            try {
                read = ParseClientManifest(ReadWholeFile(path.string()));
            } catch (const Exception& e) {
                throw Refusal{said + " is damaged: " + e.Message()};
            }
        }
        for (const TClientFile& file : (old == olds.end() ? read : old->manifest).files) {
            if (kept.count(file.name) != 0)
                continue;
            std::vector<TRemovedFile>& had = stretches[file.name];
            if (!had.empty() && had.back().to == m - 1)
                had.back().to = m;
            else
                had.push_back({m, m, file.name});
        }
    }
    std::vector<TRemovedFile> removed;
    for (const auto& [name, had] : stretches)
        removed.insert(removed.end(), had.begin(), had.end());
    return removed;
}

bool SameRelease(const TClientManifest& a, const TClientManifest& b) {
    return a.files.size() == b.files.size() && std::equal(a.files.begin(), a.files.end(), b.files.begin(),
                                                          [](const TClientFile& x, const TClientFile& y) {
                                                              return x.name == y.name &&
                                                                     x.sha256 == y.sha256 && x.mode == y.mode;
                                                          });
}

// The launcher's own files in NEW_TREE: a release must not carry them, and they are not left out quietly.
std::vector<std::string> LauncherFilesIn(const fs::path& root) {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::u8string relative = it->path().lexically_relative(root).generic_u8string();
        const std::string name(relative.begin(), relative.end());
        if (IsLauncherOwnFile(name)) {
            found.push_back(name);
            if (it->is_directory())
                it.disable_recursion_pending();
        }
    }
    return found;
}

std::string RowText(std::int32_t id, const std::string& url, std::uintmax_t size, const std::string& sha256) {
    return std::to_string(id) + "\t" + url + "\t" + std::to_string(size) + "\t\t0\t" + sha256;
}

// The list with release n's rows: the chain row, the direct rows (earlier releases' direct rows go: an
// installation that could take one takes this release's instead), and the client line with the line of
// removed files, if any (both in place of the earlier release's).
std::string ListWithRelease(const std::string& bytes, const std::vector<std::string>& rows,
                            const std::string& clientLine) {
    std::string result;
    ForEachListLine(bytes, [&](std::string_view text, std::string_view whole) {
        if (!IsClientLineWord(text) && !IsDirectRowLine(text) && !IsRemovedLineWord(text)) {
            result += whole;
            if (whole.size() == text.size())
                result += "\r\n"; // the old last line had no end
        }
    });
    for (const std::string& row : rows)
        result += row + "\r\n";
    return result + clientLine + "\r\n";
}

int Release(const Arguments& args) {
    const fs::path root = args.Positionals()[0];
    const fs::path newTree = args.Positionals()[1];
    const std::string list = *args.Value("--list");
    std::string baseUrl = *args.Value("--url");
    if (baseUrl.empty() || baseUrl.find_first_of(" \t\r\n") != std::string::npos)
        throw UsageError("'" + baseUrl + "' is not a URL");
    if (baseUrl.back() != '/')
        baseUrl += '/';
    int deltas = kDefaultDeltas;
    if (const auto given = args.Value("--deltas")) {
        if (given->empty() || given->size() > 3 ||
            !std::all_of(given->begin(), given->end(), [](char c) { return c >= '0' && c <= '9'; }))
            throw UsageError("--deltas takes a number from 0 to 999");
        deltas = std::stoi(*given);
    }
    const std::optional<int> expires = ExpiresDays(args);
    const std::string timeAndShare = ReleaseTimeAndShareTags(args);
    std::error_code error;
    if (fs::exists(root, error) && !fs::is_directory(root, error))
        throw UsageError("'" + root.string() + "' is not a directory");
    if (!fs::is_directory(newTree, error))
        throw UsageError("'" + newTree.string() + "' is not a directory");

    std::optional<std::string> pem;
    if (const auto key = args.Value("--key")) {
        pem = ReadSigningKey(*key);
        PublicKeyOfSigningKey(*pem);
    } else if (fs::exists(SignatureFileOf(list), error)) {
        throw Refusal{list + " is signed; without --key its signature would no longer match it"};
    }
    if (const std::vector<std::string> own = LauncherFilesIn(newTree); !own.empty())
        throw Refusal{newTree.string() + " holds " + own.front() +
                      ", a file of the launcher, which no release may carry (each player's own)"};

    fs::create_directories(root); // the first release starts the folder
    const std::vector<int> numbers = NumberedReleases(root);
    const int number = static_cast<int>(numbers.size()) + 1;
    std::vector<OldRelease> olds;
    for (int m = number - 1; m >= 1 && m >= number - 1 - deltas; --m)
        olds.push_back(ReadOldRelease(root, m));

    const std::string listBytes = fs::exists(list, error) ? ReadWholeFile(list) : std::string();
    auto table = std::make_unique<TPatchList>();
    if (!listBytes.empty())
        ParsePatchList(list, *table);
    const std::int32_t id = HighestListedPatch(*table).value_or(0) + 1;

    std::optional<TFullPack> pack = PlanFullPack(newTree.string(), "release");
    if (!pack)
        throw Refusal{"NEW_TREE holds what a release cannot carry"};
    if (pack->files == 0)
        throw Refusal{newTree.string() + " holds no file"};

    // Written beside the releases under a name that is no release, and renamed once whole.
    const fs::path staging = root / ("." + std::to_string(number) + ".partial");
    fs::remove_all(staging);
    fs::create_directories(staging / ".work");
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{staging};

    const TWrittenSnapshot snapshot = WriteSnapshotOf(*pack, staging.string(), pem);
    if (!olds.empty() && SameRelease(snapshot.manifest, olds.front().manifest))
        throw Refusal{"nothing changed: " + newTree.string() + " is release " + std::to_string(number - 1),
                      kNothingChanged};

    const std::vector<TRemovedFile> removed =
        RemovedSinceEarlierReleases(root, number, olds, snapshot.manifest);
    std::string removedText;
    if (!removed.empty()) {
        removedText = FormatRemovedFiles(removed);
        ReplaceFile((staging / kRemovedFilesFileName).string(), removedText);
    }

    NewRelease release;
    release.pack = &*pack;
    release.manifest = &snapshot.manifest;
    release.work = staging / ".work";
    for (const TZipSourceEntry& entry : pack->entries)
        release.entries.emplace(entry.name, &entry);
    const std::string releaseUrl = baseUrl + std::to_string(number) + "/";
    std::vector<std::string> rows;
    std::vector<std::string> refusedRows;
    for (std::size_t i = 0; i < olds.size(); ++i) {
        const OldRelease& old = olds[i];
        const bool chain = i == 0;
        // Named by both releases: the launcher keeps a download under the archive's file name.
        const std::string name = std::to_string(number) + "-from-" + std::to_string(old.number) + ".zip";
        const std::string out = (staging / name).string();
        WritePatch(release, old, chain, out);
        const auto size = static_cast<std::uintmax_t>(fs::file_size(out));
        if (size > static_cast<std::uintmax_t>(INT32_MAX)) {
            // A row's size cannot say it: installations that far behind heal from the snapshot instead.
            fs::remove(out);
            refusedRows.push_back(name);
            continue;
        }
        const std::string row = RowText(id, releaseUrl + name, size, Sha256OfFile(out));
        const std::string snapshotTag = "\t" + std::string(kSnapshotTag) + "=" +
                                        std::to_string(fs::file_size(staging / kClientArchiveFileName));
        rows.push_back((chain ? row + "\t" + kReleaseTag + "=" + std::to_string(number) + snapshotTag
                              : std::string(kDirectRowWord) + "\t" + row + "\t" + kReleaseTag + "=" +
                                    std::to_string(number) + "\t" + kFromTag + "=" +
                                    std::to_string(old.number)) +
                       timeAndShare);
    }
    if (number > 1 && (rows.empty() || IsDirectRowLine(rows.front())))
        throw Refusal{"the patch from release " + std::to_string(number - 1) +
                      " is over 2 GiB, more than a row can list"};
    fs::remove_all(staging / ".work");
    fs::rename(staging, root / std::to_string(number));
    cleanup.path.clear();

    TSha256 manifestHash;
    manifestHash.Update(snapshot.text.data(), snapshot.text.size());
    TClientLine client{releaseUrl + kClientManifestFileName, manifestHash.HexDigest(),
                       number > 1 ? id : HighestListedPatch(*table).value_or(0)};
    std::string clientLines = ClientLineText(client);
    if (!removedText.empty()) {
        TSha256 removedHash;
        removedHash.Update(removedText.data(), removedText.size());
        std::size_t names = 0;
        for (std::size_t i = 0; i < removed.size(); ++i)
            names += i == 0 || removed[i].name != removed[i - 1].name ? 1 : 0;
        clientLines += "\r\n" + RemovedLineText(releaseUrl + kRemovedFilesFileName, removedHash.HexDigest());
        std::printf("%s: %zu name%s that earlier releases had, removed when an installation heals\n",
                    (root / std::to_string(number) / kRemovedFilesFileName).string().c_str(), names,
                    names == 1 ? "" : "s");
    }
    const std::string bytes = ListWithRelease(listBytes, rows, clientLines);
    for (const std::string& name : refusedRows)
        std::printf("%s: over 2 GiB, not listed: installations that would take it heal from the snapshot\n",
                    name.c_str());
    if (pem) {
        const TStampedList stamped =
            StampListForSigning(bytes, expires,
                                std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
        WriteSignedList(list, {*pem}, stamped);
        std::printf("%s\n", SignedSummary(list, stamped).c_str());
    } else {
        ReplaceFile(list, bytes);
    }
    std::printf("%s: release %d, %zu row%s\n", list.c_str(), number, rows.size(),
                rows.size() == 1 ? "" : "s");
    std::printf("upload %s to %s, then %s%s\n", (root / std::to_string(number)).string().c_str(),
                releaseUrl.c_str(), list.c_str(), pem ? (" and " + SignatureFileOf(list)).c_str() : "");
    return 0;
}

} // namespace

int RunRelease(const Arguments& args) {
    try {
        return Release(args);
    } catch (const Refusal& refusal) {
        std::fprintf(stderr, "patchctl release: %s; nothing written\n", refusal.why.c_str());
        return refusal.status;
    } catch (const fs::filesystem_error& e) {
        std::fprintf(stderr, "patchctl release: %s\n", e.what());
        return 1;
    }
}

} // namespace pc::patchctl
