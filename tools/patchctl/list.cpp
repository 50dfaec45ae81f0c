// patchctl list ARCHIVE: the archive's directory as the launcher reads it, one TAB-separated line per entry.
#include "archive/code_pages.h"
#include "archive/launcher_settings.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "tools/patchctl/command.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

std::string FormatEntry(const TDirItem& item) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "%u\t%" PRIu64 "\t%" PRIu64 "\t%08" PRIx32 "\t%04u-%02u-%02u %02u:%02u:%02u\t%08" PRIx32
                  "\t",
                  static_cast<unsigned>(item.Method), item.FullCompressedSize(), item.FullUncompressedSize(),
                  item.Crc32, 1980u + (item.ModDate >> 9), (item.ModDate >> 5) & 15u, item.ModDate & 31u,
                  static_cast<unsigned>(item.ModTime >> 11), (item.ModTime >> 5) & 63u,
                  (item.ModTime & 31u) * 2, item.ExternalAttr);
    return line + WideToUtf8(item.Name) + "\n";
}

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fputs("usage: patchctl list ARCHIVE\n", stderr);
        return 2;
    }
    TZipArchiver archiver;
    ApplyLauncherArchiverSettings(archiver);
    archiver.FileName = SystemToWide(args[0]);
    try {
        // Listing only reads: a missing archive is reported instead of being created as Open would.
        archiver.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", WithClosingPeriod(e.Message()).c_str());
        return 2;
    }
    TZADirArray& items = archiver.DirManager()->Items;
    std::string out;
    for (std::int32_t i = 0; i < items.Count(); ++i)
        out += FormatEntry(items.Item(i));
    archiver.Close();
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

const Registration reg("list", "list ARCHIVE", &Run);

} // namespace
} // namespace pc::patchctl
