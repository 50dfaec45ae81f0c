// patchctl release RELEASES NEW_TREE --list LIST --url BASE_URL: one release in one command. The release's
// snapshot, a patch from the release before it (the chain) and a direct patch from each of the last N
// earlier releases, every old tree taken from that release's own snapshot: the operator keeps no old trees.
#include "archive/zip_archiver.h"
#include "archive/zip_writer.h"
#include "framework/code_pages.h"
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "launcher/apply/delta_patch.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/install/own_files.h"
#include "launcher/list/client_manifest.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/release_road.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/delta_encode.h"
#include "tools/patchctl/delta_parts.h"
#include "tools/patchctl/file_digest.h"
#include "tools/patchctl/list_text.h"
#include "tools/patchctl/pack.h"
#include "tools/patchctl/signing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
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
// A row's size field is a signed 32-bit integer.
constexpr std::uint64_t kRowSizeLimit = 2147483647;
// A test knob, never an operator's setting: a smaller row limit, so that a split release can be made from
// small trees.
constexpr const char* kRowLimitVariable = "PATCHCTL_ROW_SIZE_LIMIT";

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
    bool parted = false; // coded in parts
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
    std::uint64_t rowLimit = kRowSizeLimit;                     // the largest archive a row may list
    std::string snapshot;                                       // the release's client.zip
    std::optional<std::map<std::string, std::uint64_t>> stored; // its entries' stored sizes, once asked for
};

std::map<std::string, std::uint64_t> StoredSizes(const std::string& path);

// Files larger than this are coded in parts, as `pack --delta` codes them; below it both versions are
// read whole, for one frame.
constexpr std::int64_t kPartedFrom = std::int64_t{128} << 20;

// A large file coded in parts, each read from disk as it is made: memory stays that of one part and its
// region whatever the file's size, files over 2 GiB included. It goes as a delta when that is smaller than
// the file as the snapshot stores it, deflated by the same writer that would carry it whole.
Coding CodeInParts(NewRelease& release, const TClientFile& after, const fs::path& oldPath) {
    Coding coding;
    const std::string path = (release.work / ("delta-" + std::to_string(++release.made))).string();
    TPartOptions options;
    options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const TPartedDelta coded =
        EncodePartedDeltaFile(oldPath, release.entries.at(after.name)->sourcePath, path, options);
    if (!release.stored)
        release.stored = StoredSizes(release.snapshot);
    const auto whole = release.stored->find(after.name);
    if (whole != release.stored->end() && coded.bytes < whole->second) {
        coding.delta = coding.parted = true;
        coding.dataPath = path;
    } else {
        fs::remove(path);
    }
    return coding;
}

// Small files (programs, tables, text) gain from the slowest level; in large ones the copies from the old
// file make the delta, which a fast level with long-distance matching finds as well, in a fraction of the
// time. The chain is what most players take: it is coded as `pack --delta` codes. A direct patch from each
// older release serves fewer players, and there are N of them: its files are coded fast from a smaller
// size on, so that the release costs a few times one patch, not N times.
int LevelFor(bool chain, std::int64_t newSize) {
    constexpr std::int64_t kChainSlowUpTo = std::int64_t{16} << 20;
    constexpr std::int64_t kDirectSlowUpTo = std::int64_t{1} << 20;
    if (newSize > (chain ? kChainSlowUpTo : kDirectSlowUpTo))
        return kPartedDeltaLevel;
    return chain ? kDeltaLevel : kDeltaLevel - 2;
}

Coding CodeFile(NewRelease& release, const TClientFile& before, const TClientFile& after,
                const fs::path& oldPath, bool chain) {
    const auto key = std::make_pair(before.sha256, after.sha256);
    if (const auto it = release.codings.find(key); it != release.codings.end())
        return it->second;
    Coding coding;
    if (std::max(before.size, after.size) > kPartedFrom) {
        coding = CodeInParts(release, after, oldPath);
    } else {
        const std::vector<std::uint8_t> old = ReadWhole(oldPath);
        const std::vector<std::uint8_t> next = ReadWhole(release.entries.at(after.name)->sourcePath);
        const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        const std::string made = EncodeDelta(old.data(), old.size(), next.data(), next.size(),
                                             LevelFor(chain, after.size), threads);
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

// What one patch archive carries: whole files and folders (in byte order), the deltas' manifest and the
// deltas' data entries (one for each of the manifest's deltas, in its order).
struct PatchContent {
    std::vector<TZipSourceEntry> entries;
    TDeltaManifest manifest;
    std::vector<TZipSourceEntry> reserved;
};

void WritePatchArchive(NewRelease& release, PatchContent content, const std::string& out) {
    const auto wholeFiles = static_cast<std::size_t>(
        std::count_if(content.entries.begin(), content.entries.end(),
                      [](const TZipSourceEntry& e) { return !e.sourcePath.empty(); }));
    TDeltaManifest& manifest = content.manifest;
    std::vector<TZipSourceEntry>& entries = content.entries;
    if (!manifest.deltas.empty() || !manifest.removals.empty()) {
        if (!manifest.deltas.empty())
            manifest.companion = kClientArchiveFileName;
        const std::string manifestPath =
            (release.work / ("manifest-" + std::to_string(++release.made))).string();
        ReplaceFile(manifestPath, FormatDeltaManifest(manifest));
        entries.push_back({kDeltaManifestEntry, manifestPath, kRegularFileType | 0644, 0});
        entries.insert(entries.end(), content.reserved.begin(), content.reserved.end());
    }
    WriteZipArchive(out, entries, TZipWriteOptions());
    std::printf("%s: %zu whole file%s, %zu delta%s, %zu removal%s, %ju bytes\n", out.c_str(), wholeFiles,
                wholeFiles == 1 ? "" : "s", manifest.deltas.size(), manifest.deltas.size() == 1 ? "" : "s",
                manifest.removals.size(), manifest.removals.size() == 1 ? "" : "s",
                static_cast<std::uintmax_t>(fs::file_size(out)));
}

// The stored (compressed) size of every entry of the archive at `path`, by name.
std::map<std::string, std::uint64_t> StoredSizes(const std::string& path) {
    TZipArchiver zip;
    zip.FileName = Utf8ToWide(path);
    zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    std::map<std::string, std::uint64_t> sizes;
    TZADirArray& items = zip.DirManager()->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i) {
        std::string name = WideToUtf8(items.Item(i).Name);
        std::replace(name.begin(), name.end(), '\\', '/');
        sizes[name] = items.Item(i).FullCompressedSize();
    }
    zip.Close();
    return sizes;
}

// What an entry costs an archive beyond its stored bytes, at most: its local and central headers with
// their 64-bit extras and descriptor, each holding the name.
std::uint64_t EntryOverhead(const std::string& name) {
    return 200 + 2 * name.size();
}

// Splits `content` into parts whose archives each stay within `limit` bytes, judged by the entries' stored
// sizes in the whole archive (`stored`): the same writer packs each entry the same way again. Files and
// deltas are taken in order, a part closed when the next would not fit; every part gets the folders its
// files lie in and the first one every folder, so that empty new folders come too; the removals go with
// the last part, after every file has come, as in one archive. Refused when one file or delta alone
// cannot fit.
std::vector<PatchContent> SplitContent(const PatchContent& content,
                                       const std::map<std::string, std::uint64_t>& stored,
                                       std::uint64_t limit) {
    const auto storedOf = [&stored](const std::string& name) {
        const auto it = stored.find(name);
        return (it == stored.end() ? 0 : it->second) + EntryOverhead(name);
    };
    TDeltaManifest whole = content.manifest;
    whole.companion = kClientArchiveFileName;
    // Every part may carry a manifest, none larger than the whole one, folders, none but the whole patch's,
    // and the archive's end records.
    std::map<std::string, const TZipSourceEntry*> folders;
    std::uint64_t reserve = FormatDeltaManifest(whole).size() + EntryOverhead(kDeltaManifestEntry) + 200;
    for (const TZipSourceEntry& entry : content.entries)
        if (entry.sourcePath.empty()) {
            folders.emplace(entry.name, &entry);
            reserve += storedOf(entry.name);
        }
    if (reserve >= limit)
        throw Refusal{"the chain patch's folders and manifest alone are over " + std::to_string(limit) +
                      " bytes, more than a row can list"};

    struct Part {
        std::vector<const TZipSourceEntry*> files;
        std::vector<std::size_t> deltas;
        std::uint64_t bytes = 0;
    };
    std::vector<Part> parts(1);
    parts.back().bytes = reserve;
    const auto place = [&](const std::string& name, std::uint64_t bytes) {
        if (reserve + bytes > limit)
            throw Refusal{name + " alone takes " + std::to_string(bytes) +
                          " bytes in the chain patch, more than the " + std::to_string(limit) +
                          " a row can list"};
        if (parts.back().bytes + bytes > limit)
            parts.emplace_back().bytes = reserve;
        parts.back().bytes += bytes;
        return &parts.back();
    };
    for (const TZipSourceEntry& entry : content.entries)
        if (!entry.sourcePath.empty())
            place(entry.name, storedOf(entry.name))->files.push_back(&entry);
    for (std::size_t i = 0; i < content.manifest.deltas.size(); ++i)
        place(content.manifest.deltas[i].name,
              storedOf(content.reserved[i].name) + 200 + content.manifest.deltas[i].name.size())
            ->deltas.push_back(i);

    std::vector<PatchContent> result;
    for (const Part& part : parts) {
        std::set<std::string> names;
        std::map<std::string, const TZipSourceEntry*> chosen;
        for (const TZipSourceEntry* file : part.files) {
            chosen.emplace(file->name, file);
            AddFoldersOf(file->name, names);
        }
        if (result.empty())
            for (const auto& [name, entry] : folders)
                names.insert(name);
        for (const std::string& name : names)
            if (const auto it = folders.find(name); it != folders.end())
                chosen.emplace(name, it->second);
        PatchContent piece;
        for (const auto& [name, entry] : chosen)
            piece.entries.push_back(*entry);
        for (const std::size_t i : part.deltas) {
            piece.manifest.deltas.push_back(content.manifest.deltas[i]);
            piece.reserved.push_back(content.reserved[i]);
        }
        result.push_back(std::move(piece));
    }
    result.back().manifest.removals = content.manifest.removals;
    return result;
}

// The name of part `k` (from 1) of the archive `out`: "7-from-6.zip" gives "7-from-6-part2.zip".
std::string PartName(const std::string& out, std::size_t k) {
    return out.substr(0, out.size() - 4) + "-part" + std::to_string(k) + ".zip";
}

// Writes `content` as one archive at `out`, or, when that is over `limit` (0: no limit), as several
// archives each within it, applied one after another. Returns the archives written, in order.
std::vector<std::string> WritePatchArchives(NewRelease& release, PatchContent content, const std::string& out,
                                            std::uint64_t limit) {
    WritePatchArchive(release, content, out);
    const auto size = static_cast<std::uint64_t>(fs::file_size(out));
    if (limit == 0 || size <= limit)
        return {out};
    const std::vector<PatchContent> parts = SplitContent(content, StoredSizes(out), limit);
    fs::remove(out);
    std::printf("%s: %ju bytes, over the %ju a row can list: split into %zu archives, applied in turn\n",
                out.c_str(), static_cast<std::uintmax_t>(size), static_cast<std::uintmax_t>(limit),
                parts.size());
    std::vector<std::string> written;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        written.push_back(PartName(out, k + 1));
        WritePatchArchive(release, parts[k], written.back());
        if (fs::file_size(written.back()) > limit) // the sizes judged by are the writer's own: never so
            throw Refusal{written.back() + " came out over " + std::to_string(limit) + " bytes"};
    }
    return written;
}

// Writes the patch from `old` to the new release at `out`; its whole copies come from the new release's
// own client.zip beside it. The chain's patch, when larger than a row can list, goes in several archives
// beside `out`; returns the archives written, in the order they apply.
std::vector<std::string> WritePatch(NewRelease& release, const OldRelease& old, bool chain,
                                    const std::string& out) {
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
        record.entry =
            std::to_string(manifest.deltas.size() + 1) + (coding.parted ? kPartedEntrySuffix : ".zst");
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
    PatchContent content{std::move(entries), std::move(manifest), std::move(reserved)};
    return WritePatchArchives(release, std::move(content), out, chain ? release.rowLimit : 0);
}

// The largest archive a row may list: the size field's limit, or less where the test knob says so.
std::uint64_t RowSizeLimit() {
    const char* given = std::getenv(kRowLimitVariable);
    if (given == nullptr)
        return kRowSizeLimit;
    try {
        const std::int32_t limit = ParseInteger(given); // a row's own integer: never above the size field
        return limit > 0 ? static_cast<std::uint64_t>(limit) : kRowSizeLimit;
    } catch (const EConvertError&) {
        return kRowSizeLimit;
    }
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
    release.snapshot = (staging / kClientArchiveFileName).string();
    for (const TZipSourceEntry& entry : pack->entries)
        release.entries.emplace(entry.name, &entry);
    const std::string releaseUrl = baseUrl + std::to_string(number) + "/";
    std::vector<std::string> rows;
    std::vector<std::string> refusedRows;
    release.rowLimit = RowSizeLimit();
    std::int32_t lastId = id;
    for (std::size_t i = 0; i < olds.size(); ++i) {
        const OldRelease& old = olds[i];
        const bool chain = i == 0;
        // Named by both releases: the launcher keeps a download under the archive's file name.
        const std::string name = std::to_string(number) + "-from-" + std::to_string(old.number) + ".zip";
        const std::string out = (staging / name).string();
        const std::vector<std::string> written = WritePatch(release, old, chain, out);
        if (!chain && fs::file_size(out) > release.rowLimit) {
            // A row's size cannot say it: installations that far behind take the chain or heal instead.
            fs::remove(out);
            refusedRows.push_back(name);
            continue;
        }
        // The chain may come in several archives, each a row of its own, in id order; a direct row's id
        // is the release's last, and it stands for all of them.
        if (chain)
            lastId = id + static_cast<std::int32_t>(written.size()) - 1;
        for (std::size_t k = 0; k < written.size(); ++k) {
            const std::string url = releaseUrl + fs::path(written[k]).filename().string();
            const std::string row = RowText(chain ? id + static_cast<std::int32_t>(k) : lastId, url,
                                            fs::file_size(written[k]), Sha256OfFile(written[k]));
            const std::string snapshotTag = "\t" + std::string(kSnapshotTag) + "=" +
                                            std::to_string(fs::file_size(staging / kClientArchiveFileName));
            rows.push_back((chain ? row + "\t" + kReleaseTag + "=" + std::to_string(number) + snapshotTag
                                  : std::string(kDirectRowWord) + "\t" + row + "\t" + kReleaseTag + "=" +
                                        std::to_string(number) + "\t" + kFromTag + "=" +
                                        std::to_string(old.number)) +
                           timeAndShare);
        }
    }
    fs::remove_all(staging / ".work");
    fs::rename(staging, root / std::to_string(number));
    cleanup.path.clear();

    TSha256 manifestHash;
    manifestHash.Update(snapshot.text.data(), snapshot.text.size());
    TClientLine client{releaseUrl + kClientManifestFileName, manifestHash.HexDigest(),
                       number > 1 ? lastId : HighestListedPatch(*table).value_or(0)};
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
        std::printf("%s: over the %ju bytes a row can list, not listed: installations that would take it "
                    "take the chain or heal from the snapshot\n",
                    name.c_str(), static_cast<std::uintmax_t>(release.rowLimit));
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
