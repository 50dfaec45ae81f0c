// What `pack` shares with the commands that write whole trees the same way (snapshot): the tree read and
// refused by pack's rules, and the archive written with pack's progress.
#pragma once

#include "archive/zip_writer.h"
#include "launcher/list/client_manifest.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {

// Every file and folder of a tree as `pack --all` packs them.
struct TFullPack {
    std::vector<TZipSourceEntry> entries; // names in byte order, folders ending with '/'
    std::uint64_t bytes = 0;              // of the files
    int files = 0;
};

// Reads the tree at `root`. Nothing when it holds what a patch cannot carry; every reason is printed on
// stderr then, as "patchctl COMMAND: ...".
std::optional<TFullPack> PlanFullPack(const std::string& root, const char* command);

// Writes the entries to `out` as pack does (through a temporary file, checked before it is renamed), with
// pack's progress on a terminal; `options.progress` is pack's own.
void WritePackArchive(const std::string& out, const std::vector<TZipSourceEntry>& entries,
                      std::uint64_t bytes, TZipWriteOptions options);

// A snapshot as written: its manifest and the manifest's exact text (what a list's client line hashes).
struct TWrittenSnapshot {
    TClientManifest manifest;
    std::string text;
};

// Writes the tree's snapshot into `outDir` (client.zip, client.manifest and, with a PEM key, the manifest's
// signature), hashing each file as it is packed, and prints what it wrote.
TWrittenSnapshot WriteSnapshotOf(TFullPack pack, const std::string& outDir,
                                 const std::optional<std::string>& pem);

// Whether zlib at `level` makes `bytes` larger than `limit`: a delta must undercut the file deflated to be
// carried instead of it.
// The whole file; EFOpenError when it cannot be read.
std::vector<std::uint8_t> ReadWhole(const std::filesystem::path& path);

bool DeflatesLargerThan(const std::vector<std::uint8_t>& bytes, std::size_t limit, int level);

} // namespace pc::patchctl
