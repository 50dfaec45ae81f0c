// patchctl pack OLD NEW OUT.zip: the patch archive that turns the tree OLD into the tree NEW.
#include "tools/patchctl/pack.h"
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "archive/zip_writer.h"
#include "framework/console.h"
#include "tools/patchctl/command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

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
    return {};
}

// The files that are new or changed from OLD to NEW (with `all`, every file of NEW), and the folders they
// lie in or that OLD lacks.
std::set<std::string> NamesToPack(const Tree& next, const Tree& old, bool all) {
    std::set<std::string> names;
    for (const auto& [name, item] : next.items) {
        const auto before = old.items.find(name);
        if (item.directory) {
            if (all || before == old.items.end() || !before->second.directory)
                names.insert(name + "/");
            continue;
        }
        if (!all && before != old.items.end() && !before->second.directory &&
            SameContent(before->second.path, item.path))
            continue;
        names.insert(name);
        for (auto slash = name.rfind('/'); slash != std::string::npos; slash = name.rfind('/', slash - 1)) {
            names.insert(name.substr(0, slash + 1));
            if (slash == 0)
                break;
        }
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

int Pack(const Arguments& args) {
    const bool all = args.Has("--all"), force = args.Has("--force");
    const std::vector<std::string>& positional = args.Positionals();
    if (positional.size() == 2 && !all)
        throw UsageError("OLD, NEW and OUT.zip are needed");
    const bool withOld = positional.size() == 3;
    const fs::path newRoot = positional[withOld ? 1 : 0];
    const std::string out = positional[withOld ? 2 : 1];
    for (const fs::path& root :
         withOld ? std::vector<fs::path>{positional[0], newRoot} : std::vector{newRoot})
        if (!fs::is_directory(root))
            throw UsageError("'" + root.string() + "' is not a directory");
    if (const std::string refusal = ExistingOutputRefusal(out, force); !refusal.empty()) {
        std::fprintf(stderr, "patchctl pack: %s; nothing written\n", refusal.c_str());
        return kRefused;
    }

    const Tree next = ReadTree(newRoot);
    const Tree old = withOld ? ReadTree(positional[0]) : Tree{};

    // The files that are new or changed, and the folders they lie in or that OLD lacks.
    const std::set<std::string> names = NamesToPack(next, old, all);
    if (!ReportRefusals(next, names, "pack")) {
        std::fprintf(stderr, "patchctl pack: nothing written\n");
        return kRefused;
    }

    for (const auto& [name, item] : old.items)
        if (!item.directory && next.items.find(name) == next.items.end())
            std::fprintf(stderr, "not removed by this patch: %s\n", name.c_str());

    if (names.empty()) {
        std::fprintf(stderr, "patchctl pack: nothing changed: %s; nothing written\n",
                     withOld ? "NEW has no file or folder that OLD lacks or has with other content"
                             : "NEW is empty");
        return kNothingChanged;
    }

    std::uint64_t bytes = 0;
    int files = 0;
    const std::vector<TZipSourceEntry> entries = EntriesOf(next, names, bytes, files);
    WritePackArchive(out, entries, bytes, {});
    std::printf("%s: %d file%s, %zu folder%s, %ju bytes packed into %ju\n", out.c_str(), files,
                files == 1 ? "" : "s", entries.size() - static_cast<std::size_t>(files),
                entries.size() - static_cast<std::size_t>(files) == 1 ? "" : "s",
                static_cast<std::uintmax_t>(bytes), static_cast<std::uintmax_t>(fs::file_size(out)));
    return 0;
}

} // namespace

std::optional<TFullPack> PlanFullPack(const std::string& root, const char* command) {
    TFullPack pack;
    {
        const Tree tree = ReadTree(root);
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
