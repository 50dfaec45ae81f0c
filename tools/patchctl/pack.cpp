// patchctl pack OLD NEW OUT.zip: the patch archive that turns the tree OLD into the tree NEW.
#include "tools/patchctl/pack.h"
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "archive/zip_writer.h"
#include "framework/console.h"
#include "framework/crypto.h"
#include "launcher/apply/delta_patch.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/install/own_files.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/delta_encode.h"
#include "tools/patchctl/delta_parts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

namespace pc::patchctl {
namespace {

namespace fs = std::filesystem;

constexpr int kNothingChanged = 1;
constexpr int kRefused = 2;
constexpr std::uint32_t kRegularFileType = 0100000;
constexpr std::uint32_t kDirectoryType = 0040000;

struct TreeItem {
    fs::path path;
    bool directory = false;
    std::uint32_t mode = 0;
    std::int64_t modTime = 0;
};

// What a tree holds, by name relative to its root with '/'.
struct Tree {
    std::map<std::string, TreeItem> items;
    std::vector<std::string> links;  // symbolic links, which a patch cannot carry
    std::vector<std::string> others; // devices, pipes, sockets
};

std::int64_t SecondsOf(fs::file_time_type time) {
    const auto system = std::chrono::file_clock::to_sys(time);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

// Names and paths as UTF-8, which the archive and the file functions take on every platform (a plain
// string() would be in the Windows code page there).
std::string Utf8Of(const std::u8string& text) {
    return std::string(text.begin(), text.end());
}

Tree ReadTree(const fs::path& root) {
    Tree tree;
    // Sorted by name so that the same tree always gives the same archive.
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::directory_entry& entry = *it;
        const std::string name = Utf8Of(entry.path().lexically_relative(root).generic_u8string());
        const fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            tree.links.push_back(name);
            continue;
        }
        TreeItem item;
        item.path = entry.path();
        item.mode = static_cast<std::uint32_t>(status.permissions()) & 07777;
        item.modTime = SecondsOf(entry.last_write_time());
        if (fs::is_directory(status)) {
            item.directory = true;
            item.mode |= kDirectoryType;
        } else if (fs::is_regular_file(status)) {
            item.mode |= kRegularFileType;
        } else {
            tree.others.push_back(name);
            continue;
        }
        tree.items.emplace(name, item);
    }
    return tree;
}

// Takes the launcher's own files (a played installation's ledger, lock, configuration and downloads) out
// of the tree: no patch may carry them. Each is named on stderr as "patchctl COMMAND: warning: ..." when
// `command` is given (once for a folder with what it holds).
void LeaveOutLauncherFiles(Tree& tree, const char* command) {
    std::string folderLeftOut;
    for (auto it = tree.items.begin(); it != tree.items.end();) {
        const std::string& name = it->first;
        if (!IsLauncherOwnFile(name)) {
            ++it;
            continue;
        }
        const bool within = !folderLeftOut.empty() && name.rfind(folderLeftOut, 0) == 0;
        if (command != nullptr && !within)
            std::fprintf(stderr, "patchctl %s: warning: %s is a file of the launcher and is left out\n",
                         command, name.c_str());
        if (!within && it->second.directory)
            folderLeftOut = name + "/";
        it = tree.items.erase(it);
    }
    for (std::vector<std::string>* list : {&tree.links, &tree.others})
        std::erase_if(*list, [](const std::string& name) { return IsLauncherOwnFile(name); });
}

bool SameContent(const fs::path& a, const fs::path& b) {
    std::error_code errorA, errorB;
    if (fs::file_size(a, errorA) != fs::file_size(b, errorB) || errorA || errorB)
        return false;
    std::ifstream left(a, std::ios::binary);
    std::ifstream right(b, std::ios::binary);
    std::vector<char> x(1 << 16), y(1 << 16);
    while (left && right) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() || !std::equal(x.begin(), x.begin() + left.gcount(), y.begin()))
            return false;
    }
    return left.eof() && right.eof();
}

// Why the launcher could not store an entry of this name where NEW has it; empty when it can.
std::string NameProblem(const std::string& name) {
    const std::u16string wide = Utf8ToWide(name);
    if (WideToUtf8(wide) != name)
        return "is not valid UTF-8";
    if (name.find('\\') != std::string::npos)
        return "holds a '\\', which the launcher takes as a folder separator";
    if (IsUnsafeEntryName(wide))
        return "would be written outside the installation";
    if (IsRefusedPatchName(name))
        return std::string("lies in ") + kDeltaFolder + ", which patches keep for their deltas and removals";
    return {};
}

// A file both trees have with other content, which --delta may carry as a delta.
struct Changed {
    std::string name;
    fs::path oldPath;
    fs::path newPath;
};

void InsertWithFolders(std::set<std::string>& names, const std::string& name) {
    names.insert(name);
    for (auto slash = name.rfind('/'); slash != std::string::npos; slash = name.rfind('/', slash - 1)) {
        names.insert(name.substr(0, slash + 1));
        if (slash == 0)
            break;
    }
}

// The files that are new or changed from OLD to NEW (with `all`, every file of NEW), and the folders they
// lie in or that OLD lacks. With `changed`, files that both trees have go there instead.
std::set<std::string> NamesToPack(const Tree& next, const Tree& old, bool all,
                                  std::vector<Changed>* changed = nullptr) {
    std::set<std::string> names;
    for (const auto& [name, item] : next.items) {
        const auto before = old.items.find(name);
        if (item.directory) {
            if (all || before == old.items.end() || !before->second.directory)
                names.insert(name + "/");
            continue;
        }
        const bool both = !all && before != old.items.end() && !before->second.directory;
        if (both && SameContent(before->second.path, item.path))
            continue;
        if (both && changed)
            changed->push_back({name, before->second.path, item.path});
        else
            InsertWithFolders(names, name);
    }
    return names;
}

// Prints, as "patchctl COMMAND: ...", every reason why NEW or the names cannot go into a patch: links,
// special files, names the launcher cannot store, names that differ only in letter case. False when
// there is one.
bool ReportRefusals(const Tree& next, const std::set<std::string>& names, const char* command) {
    bool refused = false;
    for (const std::string& link : next.links) {
        std::fprintf(stderr, "patchctl %s: %s is a symbolic link, which a patch cannot carry\n", command,
                     link.c_str());
        refused = true;
    }
    for (const std::string& other : next.others) {
        std::fprintf(stderr, "patchctl %s: %s is not a regular file or folder\n", command, other.c_str());
        refused = true;
    }
    std::map<std::u16string, std::string> byFoldedName;
    for (const std::string& name : names) {
        const std::string bare = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
        const std::string problem = NameProblem(bare);
        if (!problem.empty()) {
            std::fprintf(stderr, "patchctl %s: the name %s %s\n", command, bare.c_str(), problem.c_str());
            refused = true;
            continue;
        }
        // The launcher's archive directory finds names without regard to letter case.
        const auto [it, first] = byFoldedName.emplace(WideLowerCase(Utf8ToWide(name)), name);
        if (!first) {
            std::fprintf(stderr, "patchctl %s: %s and %s differ only in letter case\n", command,
                         it->second.c_str(), name.c_str());
            refused = true;
        }
    }
    return !refused;
}

// The archive's entries for `names`, in their (byte) order, with the files' total size and count.
std::vector<TZipSourceEntry> EntriesOf(const Tree& next, const std::set<std::string>& names,
                                       std::uint64_t& bytes, int& files) {
    std::vector<TZipSourceEntry> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) {
        const bool directory = name.back() == '/';
        const TreeItem& item = next.items.at(directory ? name.substr(0, name.size() - 1) : name);
        TZipSourceEntry entry;
        entry.name = name;
        entry.sourcePath = directory ? std::string() : Utf8Of(item.path.u8string());
        entry.unixMode = item.mode;
        entry.modTime = item.modTime;
        entries.push_back(std::move(entry));
        if (!directory) {
            ++files;
            bytes += fs::file_size(item.path);
        }
    }
    return entries;
}

// The packing's progress on stderr, for trees large enough to take a while, drawn only where stderr is a
// terminal (in a log it would be noise) and at most ten times a second.
class PackProgress {
public:
    explicit PackProgress(std::uint64_t totalBytes, std::size_t files)
        : total_(totalBytes),
          shown_(IsErrorStreamTerminal() && (totalBytes >= kLargeBytes || files >= kManyFiles)) {}
    PackProgress(const PackProgress&) = delete;
    PackProgress& operator=(const PackProgress&) = delete;
    ~PackProgress() { Erase(); }

    void Update(std::uint64_t bytesPacked, bool checking) {
        if (!shown_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!checking && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
            return;
        lastDraw_ = now;
        constexpr double kMiB = 1024.0 * 1024.0;
        if (checking)
            std::fputs("\r\033[Kchecking the archive...", stderr);
        else
            std::fprintf(stderr, "\r\033[Kpacking: %.1f of %.1f MiB (%d%%)", bytesPacked / kMiB,
                         total_ / kMiB, total_ == 0 ? 100 : static_cast<int>(bytesPacked * 100 / total_));
        std::fflush(stderr);
        drawn_ = true;
    }
    void Erase() {
        if (!drawn_)
            return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }

private:
    static constexpr std::uint64_t kLargeBytes = 16u << 20;
    static constexpr std::size_t kManyFiles = 1000;
    std::uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_;
};

// An archive already at OUT is most likely a published patch: replacing it changes what players fetch
// under a row whose size and SHA-256 no longer match. Only --force replaces it.
std::string ExistingOutputRefusal(const std::string& out, bool force) {
    std::error_code error;
    if (force || !fs::exists(fs::symlink_status(out, error)))
        return {};
    return out + " exists; a published patch must not change (--force replaces it)";
}

// The name the companion archive gets beside OUT.zip: "p0042.zip" gives "p0042-full.zip".
std::string CompanionName(const std::string& out) {
    std::string name = fs::path(out).filename().string();
    const std::string lower = WideToUtf8(WideLowerCase(Utf8ToWide(name)));
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".zip") == 0)
        name.erase(name.size() - 4);
    return name + "-full.zip";
}

// A folder beside OUT.zip for the deltas' data and the manifest while the archive is written; it goes
// afterwards, whatever happens.
class PartsFolder {
public:
    explicit PartsFolder(const std::string& out) : path_(out + ".parts~") {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    PartsFolder(const PartsFolder&) = delete;
    PartsFolder& operator=(const PartsFolder&) = delete;
    ~PartsFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string PathOf(const std::string& name) const { return (path_ / name).string(); }
    std::string Write(const std::string& name, const std::string& bytes) const {
        const fs::path file = path_ / name;
        std::ofstream stream(file, std::ios::binary | std::ios::trunc);
        stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!stream.flush())
            throw EWriteError("Cannot write " + file.string());
        return file.string();
    }

private:
    fs::path path_;
};

std::string Sha256Of(const std::vector<std::uint8_t>& bytes) {
    TSha256 hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.HexDigest();
}

// Whether the writer's deflate makes the bytes that `next` hands out in pieces (an empty piece at the end)
// larger than `limit` bytes, which a delta must undercut to be carried instead. Stops once past the
// limit: no copy of the file is made.
bool DeflatesLargerThan(const std::function<std::size_t(std::vector<Bytef>&)>& next, std::size_t limit,
                        int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return true;
    std::vector<Bytef> in, out(1 << 16);
    std::size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END && produced <= limit) {
        const std::size_t piece = next(in);
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(piece);
        const int flush = piece == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            status = deflate(&stream, flush);
            produced += out.size() - stream.avail_out;
        } while (stream.avail_out == 0 && status != Z_STREAM_ERROR);
        if (status == Z_STREAM_ERROR)
            break;
    }
    deflateEnd(&stream);
    return produced > limit;
}

bool DeflatesLargerThan(const fs::path& path, std::size_t limit, int level) {
    std::ifstream stream(path, std::ios::binary);
    return DeflatesLargerThan(
        [&](std::vector<Bytef>& in) {
            in.resize(1 << 20);
            stream.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
            if (stream.bad())
                throw EFOpenError("Cannot read " + path.string());
            return static_cast<std::size_t>(stream.gcount());
        },
        limit, level);
}

// The files OLD has and NEW lacks (as files), which the patch removes; with `keepRemoved` none, each
// named on stderr. A name that no patch may remove is told on stderr and sets `refused`.
std::vector<std::string> RemovalsOf(const Tree& old, const Tree& next, bool keepRemoved, bool& refused) {
    std::vector<std::string> removals;
    for (const auto& [name, item] : old.items) {
        const auto after = next.items.find(name);
        if (item.directory || (after != next.items.end() && !after->second.directory))
            continue;
        if (keepRemoved) {
            std::fprintf(stderr, "not removed by this patch: %s\n", name.c_str());
            continue;
        }
        removals.push_back(name);
    }
    for (const std::string& name : removals) {
        if (const std::string problem = NameProblem(name); !problem.empty()) {
            std::fprintf(stderr, "patchctl pack: the removed name %s %s\n", name.c_str(), problem.c_str());
            refused = true;
        }
    }
    return removals;
}

// Files larger than this are coded in parts; below it both versions are read whole, for one frame.
constexpr std::int64_t kPartedFrom = std::int64_t{128} << 20;

// Small files (programs, tables, text) gain from the slowest level; in large ones the copies from the old
// file make the delta, which a fast level finds as well, in a fraction of the time.
int DeltaLevelFor(std::int64_t newSize) {
    constexpr std::int64_t kSlowLevelUpTo = std::int64_t{16} << 20;
    return newSize <= kSlowLevelUpTo ? kDeltaLevel : kPartedDeltaLevel;
}

// Makes the deltas of the changed files, one file at a time, so that packing memory follows the largest
// changed file (both versions and libzstd's tables), not the sum of them. A file goes as a delta (written
// to `parts`, recorded in `manifest`, its whole copy for `fullCopies`) when that is smaller than the file
// deflated at `level`, else whole (into `names`). Returns the bytes of the new files that went as deltas.
std::uint64_t MakeDeltas(const std::vector<Changed>& changed, const Tree& next, const std::string& out,
                         int level, std::set<std::string>& names, TDeltaManifest& manifest,
                         std::vector<TZipSourceEntry>& fullCopies, std::unique_ptr<PartsFolder>& parts) {
    std::uint64_t changedBytes = 0, deltaBytes = 0;
    for (const Changed& file : changed)
        changedBytes += fs::file_size(file.newPath);
    PackProgress progress(changedBytes, changed.size());
    std::uint64_t done = 0;
    // libzstd's workers find the long matches against the old file that one thread misses at this level,
    // besides using every core.
    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (const Changed& file : changed) {
        const auto oldSize = static_cast<std::int64_t>(fs::file_size(file.oldPath));
        const auto newSize = static_cast<std::int64_t>(fs::file_size(file.newPath));
        progress.Update(done, false);
        done += static_cast<std::uint64_t>(newSize);
        if (!parts)
            parts = std::make_unique<PartsFolder>(out);
        TDeltaRecord record;
        std::uint64_t made = 0;
        bool goesWhole = false;
        if (std::max(oldSize, newSize) > kPartedFrom) {
            // Coded in parts, each read from disk as it is made: memory stays that of one part and its
            // region however large the file.
            record.entry = std::to_string(manifest.deltas.size() + 1) + kPartedEntrySuffix;
            const std::string path = parts->PathOf(record.entry);
            TPartOptions options;
            options.threads = threads;
            const std::uint64_t before = done - static_cast<std::uint64_t>(newSize);
            options.progress = [&](std::int64_t coded) {
                progress.Update(before + static_cast<std::uint64_t>(coded), false);
            };
            const TPartedDelta coded = EncodePartedDeltaFile(file.oldPath, file.newPath, path, options);
            made = coded.bytes;
            goesWhole = !DeflatesLargerThan(file.newPath, made, level);
            record.oldSha256 = coded.oldSha256;
            record.newSha256 = coded.newSha256;
            if (goesWhole)
                fs::remove(path);
        } else {
            const std::vector<std::uint8_t> before = ReadWhole(file.oldPath);
            const std::vector<std::uint8_t> after = ReadWhole(file.newPath);
            const std::string delta = EncodeDelta(before.data(), before.size(), after.data(), after.size(),
                                                  DeltaLevelFor(newSize), threads);
            made = delta.size();
            goesWhole = !patchctl::DeflatesLargerThan(after, delta.size(), level);
            if (!goesWhole) {
                record.entry = std::to_string(manifest.deltas.size() + 1) + ".zst";
                record.oldSha256 = Sha256Of(before);
                record.newSha256 = Sha256Of(after);
                parts->Write(record.entry, delta);
            }
        }
        if (goesWhole) {
            InsertWithFolders(names, file.name);
            continue;
        }
        record.oldSize = oldSize;
        record.newSize = newSize;
        const TreeItem& item = next.items.at(file.name);
        record.mode = item.mode & 0777u;
        record.name = file.name;
        manifest.deltas.push_back(record);
        deltaBytes += static_cast<std::uint64_t>(newSize);
        TZipSourceEntry whole;
        whole.name = file.name;
        whole.sourcePath = file.newPath.string();
        whole.unixMode = item.mode;
        whole.modTime = item.modTime;
        fullCopies.push_back(std::move(whole));
    }
    return deltaBytes;
}

// The manifest and the deltas' data, under the reserved folder, after every whole file.
void AddReservedEntries(const std::string& out, const std::string& companionName, std::int64_t newest,
                        TDeltaManifest& manifest, std::unique_ptr<PartsFolder>& parts,
                        std::vector<TZipSourceEntry>& entries) {
    if (manifest.deltas.empty() && manifest.removals.empty())
        return;
    if (!parts)
        parts = std::make_unique<PartsFolder>(out);
    if (!manifest.deltas.empty())
        manifest.companion = companionName;
    auto reserved = [&](const std::string& entryName, const std::string& path) {
        TZipSourceEntry entry;
        entry.name = entryName;
        entry.sourcePath = path;
        entry.unixMode = kRegularFileType | 0644;
        entry.modTime = newest;
        entries.push_back(std::move(entry));
    };
    reserved(kDeltaManifestEntry, parts->Write("manifest", FormatDeltaManifest(manifest)));
    for (const TDeltaRecord& record : manifest.deltas)
        reserved(kDeltaFolder + record.entry, (fs::path(out + ".parts~") / record.entry).string());
}

// What a pack wrote, for the operator: the archive, its removals and the companion of its deltas.
void ReportPack(const std::string& out, const std::string& companion, int files, std::size_t folders,
                std::uint64_t bytes, std::uint64_t deltaBytes, const TDeltaManifest& manifest,
                bool withCompanion) {
    const auto archiveBytes = static_cast<std::uintmax_t>(fs::file_size(out));
    const std::size_t deltas = manifest.deltas.size();
    // With deltas, the archive holds less than the whole files but more than their sum: what is packed is
    // told as the files that the patch makes, whole or through a delta.
    if (deltas == 0)
        std::printf("%s: %d file%s, %zu folder%s, %ju bytes packed into %ju\n", out.c_str(), files,
                    files == 1 ? "" : "s", folders, folders == 1 ? "" : "s",
                    static_cast<std::uintmax_t>(bytes), archiveBytes);
    else
        std::printf("%s: %d file%s, %zu folder%s and %zu delta%s, which make %ju bytes of files, packed into "
                    "%ju\n",
                    out.c_str(), files, files == 1 ? "" : "s", folders, folders == 1 ? "" : "s", deltas,
                    deltas == 1 ? "" : "s", static_cast<std::uintmax_t>(bytes + deltaBytes), archiveBytes);
    if (!manifest.removals.empty())
        std::printf("%s: %zu removal%s\n", out.c_str(), manifest.removals.size(),
                    manifest.removals.size() == 1 ? "" : "s");
    if (withCompanion)
        std::printf("%s: the whole files of the deltas, for installations whose files differ; upload it "
                    "beside %s\n",
                    companion.c_str(), fs::path(out).filename().string().c_str());
}

int Pack(const Arguments& args) {
    const bool all = args.Has("--all"), force = args.Has("--force");
    const bool delta = args.Has("--delta"), keepRemoved = args.Has("--keep-removed");
    const std::vector<std::string>& positional = args.Positionals();
    if (positional.size() == 2 && !all)
        throw UsageError("OLD, NEW and OUT.zip are needed");
    const bool withOld = positional.size() == 3;
    if (delta && !withOld)
        throw UsageError("--delta needs OLD");
    const fs::path newRoot = positional[withOld ? 1 : 0];
    const std::string out = positional[withOld ? 2 : 1];
    for (const fs::path& root :
         withOld ? std::vector<fs::path>{positional[0], newRoot} : std::vector{newRoot})
        if (!fs::is_directory(root))
            throw UsageError("'" + root.string() + "' is not a directory");
    const std::string companionName = CompanionName(out);
    const std::string companion = (fs::path(out).parent_path() / companionName).string();
    for (const std::string& target : delta ? std::vector{out, companion} : std::vector{out}) {
        if (const std::string refusal = ExistingOutputRefusal(target, force); !refusal.empty()) {
            std::fprintf(stderr, "patchctl pack: %s; nothing written\n", refusal.c_str());
            return kRefused;
        }
    }

    Tree next = ReadTree(newRoot);
    Tree old = withOld ? ReadTree(positional[0]) : Tree{};
    LeaveOutLauncherFiles(next, "pack");
    LeaveOutLauncherFiles(old, nullptr); // nor does a patch remove them

    // The files that are new or changed, and the folders they lie in or that OLD lacks. With --delta the
    // changed files wait: each goes as a delta or whole once its delta is made.
    std::vector<Changed> changed;
    std::set<std::string> names = NamesToPack(next, old, all, delta ? &changed : nullptr);
    std::set<std::string> checked = names;
    for (const Changed& file : changed)
        checked.insert(file.name);
    bool refused = !ReportRefusals(next, checked, "pack");

    // Files OLD has and NEW lacks (as files) go, unless --keep-removed keeps them.
    const std::vector<std::string> removals = RemovalsOf(old, next, keepRemoved, refused);
    if (refused) {
        std::fprintf(stderr, "patchctl pack: nothing written\n");
        return kRefused;
    }

    if (names.empty() && changed.empty() && removals.empty()) {
        std::fprintf(stderr, "patchctl pack: nothing changed: %s; nothing written\n",
                     withOld ? "NEW has no file or folder that OLD lacks or has with other content"
                             : "NEW is empty");
        return kNothingChanged;
    }

    // The deltas: each changed file is carried as one when that is smaller than the file deflated.
    TZipWriteOptions options;
    std::unique_ptr<PartsFolder> parts;
    TDeltaManifest manifest;
    manifest.removals = removals;
    std::vector<TZipSourceEntry> fullCopies;
    std::int64_t newest = 0;
    for (const auto& [name, item] : next.items)
        newest = std::max(newest, item.modTime);
    const std::uint64_t deltaBytes =
        MakeDeltas(changed, next, out, options.level, names, manifest, fullCopies, parts);

    std::uint64_t bytes = 0;
    int files = 0;
    std::vector<TZipSourceEntry> entries = EntriesOf(next, names, bytes, files);
    const std::size_t folders = entries.size() - static_cast<std::size_t>(files);
    AddReservedEntries(out, companionName, newest, manifest, parts, entries);

    PackProgress progress(bytes, entries.size());
    options.progress = [&](std::uint64_t packed, bool checking) { progress.Update(packed, checking); };
    if (!fullCopies.empty())
        WriteZipArchive(companion, fullCopies, options);
    WriteZipArchive(out, entries, options);
    progress.Erase();
    const auto archiveBytes = static_cast<std::uintmax_t>(fs::file_size(out));
    // A patch list row states an archive's size in a signed 32-bit field: a larger patch can never be
    // listed, so it is not left behind as if it could.
    if (archiveBytes > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max())) {
        fs::remove(out);
        if (!fullCopies.empty())
            fs::remove(companion);
        std::fprintf(stderr,
                     "patchctl pack: %s would be %ju bytes, more than the 2147483647 a patch list row can "
                     "state; nothing written (carry the change in several patches)\n",
                     out.c_str(), archiveBytes);
        return kRefused;
    }
    ReportPack(out, companion, files, folders, bytes, deltaBytes, manifest, !fullCopies.empty());
    return 0;
}

} // namespace

std::vector<std::uint8_t> ReadWhole(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fs::file_size(path)));
    stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (stream.gcount() != static_cast<std::streamsize>(bytes.size()))
        throw EFOpenError("Cannot read " + path.string());
    return bytes;
}

// Whether the writer's deflate makes the file larger than `limit` bytes, which a delta must undercut to be
// carried instead.
bool DeflatesLargerThan(const std::vector<std::uint8_t>& bytes, std::size_t limit, int level) {
    std::size_t at = 0;
    return DeflatesLargerThan(
        [&](std::vector<Bytef>& in) {
            const std::size_t piece = std::min<std::size_t>(bytes.size() - at, 1 << 20);
            in.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + piece));
            at += piece;
            return piece;
        },
        limit, level);
}

std::optional<TFullPack> PlanFullPack(const std::string& root, const char* command) {
    TFullPack pack;
    {
        Tree tree = ReadTree(root);
        LeaveOutLauncherFiles(tree, command);
        const std::set<std::string> names = NamesToPack(tree, Tree{}, true);
        if (!ReportRefusals(tree, names, command))
            return std::nullopt;
        pack.entries = EntriesOf(tree, names, pack.bytes, pack.files);
    }
    return pack;
}

void WritePackArchive(const std::string& out, const std::vector<TZipSourceEntry>& entries,
                      std::uint64_t bytes, TZipWriteOptions options) {
    PackProgress progress(bytes, entries.size());
    options.progress = [&](std::uint64_t packed, bool checking) { progress.Update(packed, checking); };
    WriteZipArchive(out, entries, options);
    progress.Erase();
}

int RunPack(const Arguments& args) {
    try {
        return Pack(args);
    } catch (const fs::filesystem_error& e) {
        std::fprintf(stderr, "patchctl pack: %s\n", e.what());
        return 1;
    }
}

} // namespace pc::patchctl
