// patchctl snapshot CLIENT_DIR OUTDIR: the whole client as one archive, packed as `pack --all` packs it, and
// the manifest that lets installations check every file against it and heal the damaged ones alone.
#include "framework/console.h"
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "launcher/list/client_manifest.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/file_digest.h"
#include "tools/patchctl/pack.h"
#include "tools/patchctl/signing.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

namespace fs = std::filesystem;

constexpr int kRefused = 2;

int Refuse(const std::string& what) {
    std::fprintf(stderr, "patchctl snapshot: %s; nothing written\n", what.c_str());
    return kRefused;
}

// Whether `inner` is `outer` or lies beneath it, by their full paths (links resolved where they exist).
bool LiesWithin(const fs::path& inner, const fs::path& outer) {
    const fs::path a = fs::weakly_canonical(inner), b = fs::weakly_canonical(outer);
    auto i = a.begin();
    for (auto o = b.begin(); o != b.end(); ++o, ++i) {
        if (o->empty())
            continue; // the trailing separator of "dir/"
        if (i == a.end() || *i != *o)
            return false;
    }
    return true;
}

int Snapshot(const Arguments& args) {
    const std::string& clientDir = args.Positionals()[0];
    const std::string& outDir = args.Positionals()[1];
    const bool force = args.Has("--force");
    const std::optional<std::string> keyPath = args.Value("--key");

    std::error_code error;
    if (!fs::is_directory(clientDir, error))
        throw UsageError("'" + clientDir + "' is not a directory");
    if (fs::exists(outDir, error) && !fs::is_directory(outDir, error))
        throw UsageError("'" + outDir + "' is not a directory");
    // The archive would otherwise hold the previous snapshot, or the one being written.
    if (LiesWithin(outDir, clientDir))
        throw UsageError("'" + outDir + "' lies inside the client '" + clientDir + "'");

    const std::string archive = (fs::path(outDir) / kClientArchiveFileName).string();
    const std::string manifestPath = (fs::path(outDir) / kClientManifestFileName).string();
    const std::string signature = SignatureFileOf(manifestPath);
    // A published snapshot that changes under the list's line is refused by every installation until the
    // list names the new one; so it is replaced only on purpose.
    if (!force)
        for (const std::string& path : {archive, manifestPath, signature})
            if (fs::exists(fs::symlink_status(path, error)))
                return Refuse(path + " exists; a published snapshot must not change (--force replaces it)");

    // A key that cannot sign is found out before anything is packed.
    std::string pem;
    if (keyPath) {
        pem = ReadSigningKey(*keyPath);
        PublicKeyOfSigningKey(pem);
    }

    std::optional<TFullPack> pack = PlanFullPack(clientDir, "snapshot");
    if (!pack) {
        std::fprintf(stderr, "patchctl snapshot: nothing written\n");
        return kRefused;
    }
    if (pack->files == 0)
        return Refuse("'" + clientDir + "' holds no file");
    // The manifest is read line by line: a name that a patch can carry but a line cannot (a line break, a
    // TAB) would make a manifest that every installation refuses.
    bool refused = false;
    for (const TZipSourceEntry& entry : pack->entries)
        if (!entry.sourcePath.empty())
            if (const std::string problem = ClientFileNameProblem(entry.name); !problem.empty()) {
                std::fprintf(stderr, "patchctl snapshot: %s: %s\n", entry.name.c_str(), problem.c_str());
                refused = true;
            }
    if (refused) {
        std::fprintf(stderr, "patchctl snapshot: nothing written\n");
        return kRefused;
    }

    WriteSnapshotOf(std::move(*pack), outDir, keyPath ? std::optional<std::string>(pem) : std::nullopt);
    return 0;
}

} // namespace

TWrittenSnapshot WriteSnapshotOf(TFullPack pack, const std::string& outDir,
                                 const std::optional<std::string>& pem) {
    const std::string archive = (fs::path(outDir) / kClientArchiveFileName).string();
    const std::string manifestPath = (fs::path(outDir) / kClientManifestFileName).string();
    const std::string signature = SignatureFileOf(manifestPath);
    std::error_code error;
    // The manifest's lines come from the bytes that were packed, in the archive's order, which is the
    // manifest's own (names sorted by their bytes; folders are not listed).
    TClientManifest manifest;
    manifest.archiveName = kClientArchiveFileName;
    manifest.files.reserve(static_cast<std::size_t>(pack.files));
    TZipWriteOptions options;
    options.fileDigest = [&](std::size_t entry, std::uint64_t size, const std::string& sha256) {
        const TZipSourceEntry& source = pack.entries[entry];
        manifest.files.push_back(
            TClientFile{sha256, static_cast<std::int64_t>(size), source.unixMode & 07777, source.name});
    };
    fs::create_directories(outDir);
    WritePackArchive(archive, pack.entries, pack.bytes, options);
    const std::size_t folders = pack.entries.size() - static_cast<std::size_t>(pack.files);
    pack.entries.clear();

    // A large archive takes a while to hash once more; the terminal says what is going on meanwhile.
    const bool shown = IsErrorStreamTerminal();
    if (shown)
        std::fputs("\r\033[Khashing the archive...", stderr);
    manifest.archiveSha256 = Sha256OfFile(archive);
    if (shown)
        std::fputs("\r\033[K", stderr);
    const std::string text = FormatClientManifest(manifest);
    ParseClientManifest(text); // what installations will read: anything they would refuse is not written
    ReplaceFile(manifestPath, text);
    std::uintmax_t bytes = 0;
    for (const TClientFile& file : manifest.files)
        bytes += static_cast<std::uintmax_t>(file.size);
    TSha256 manifestHash;
    manifestHash.Update(text.data(), text.size());
    std::printf("%s: %zu file%s, %zu folder%s, %ju bytes packed into %ju\n", archive.c_str(),
                manifest.files.size(), manifest.files.size() == 1 ? "" : "s", folders,
                folders == 1 ? "" : "s", bytes, static_cast<std::uintmax_t>(fs::file_size(archive)));
    std::printf("%s: SHA-256 %s\n", manifestPath.c_str(), manifestHash.HexDigest().c_str());
    if (pem) {
        ReplaceFile(signature, SignData(*pem, text));
        std::printf("%s: signed\n", signature.c_str());
    } else if (fs::remove(signature, error)) {
        // A signature of the manifest this one replaces would no longer match it.
        std::printf("%s: removed\n", signature.c_str());
    }
    return {std::move(manifest), text};
}

int RunSnapshot(const Arguments& args) {
    try {
        return Snapshot(args);
    } catch (const fs::filesystem_error& e) {
        std::fprintf(stderr, "patchctl snapshot: %s\n", e.what());
        return 1;
    }
}

} // namespace pc::patchctl
