// What `pack` shares with the commands that write whole trees the same way (snapshot): the tree read and
// refused by pack's rules, and the archive written with pack's progress.
#pragma once

#include "archive/zip_writer.h"

#include <cstdint>
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

} // namespace pc::patchctl
