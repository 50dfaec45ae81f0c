// patchctl list ARCHIVE: the archive's directory as the launcher reads it, one TAB-separated line per entry.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/archiver_settings.h"
#include "launcher/install/own_files.h"
#include "tools/patchctl/command.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

// Fields are formatted by hand: printf's parsing of the format string dominated a listing of many entries.
char* Decimal(char* at, std::uint64_t value, int width = 0) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; n < width; --width)
        *at++ = '0';
    while (n > 0)
        *at++ = digits[--n];
    return at;
}

char* Hex8(char* at, std::uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4)
        *at++ = "0123456789abcdef"[(value >> shift) & 15u];
    return at;
}

// METHOD, compressed and uncompressed size, CRC-32, the DOS time as stored, attributes, then the name.
void AppendEntry(std::string& line, const TDirItem& item) {
    char head[96];
    char* at = head;
    at = Decimal(at, item.Method);
    *at++ = '\t';
    at = Decimal(at, item.FullCompressedSize());
    *at++ = '\t';
    at = Decimal(at, item.FullUncompressedSize());
    *at++ = '\t';
    at = Hex8(at, item.Crc32);
    *at++ = '\t';
    at = Decimal(at, 1980u + (item.ModDate >> 9), 4);
    *at++ = '-';
    at = Decimal(at, (item.ModDate >> 5) & 15u, 2);
    *at++ = '-';
    at = Decimal(at, item.ModDate & 31u, 2);
    *at++ = ' ';
    at = Decimal(at, item.ModTime >> 11, 2);
    *at++ = ':';
    at = Decimal(at, (item.ModTime >> 5) & 63u, 2);
    *at++ = ':';
    at = Decimal(at, (item.ModTime & 31u) * 2, 2);
    *at++ = '\t';
    at = Hex8(at, item.ExternalAttr);
    *at++ = '\t';
    line.assign(head, at);
    line += WideToUtf8(item.Name);
    line += '\n';
}

// The launcher skips what a patch names among its own files; the operator sees it here, on stderr so that
// the listing keeps its form.
void WarnOfLauncherFile(const std::string& name) {
    if (IsLauncherOwnFile(name)) {
        std::fflush(stdout);
        std::fprintf(stderr, "patchctl list: warning: %s is a file of the launcher; the launcher skips it\n",
                     name.c_str());
    }
}

} // namespace

int RunList(const Arguments& args) {
    TZipArchiver archiver;
    ApplyLauncherArchiverSettings(archiver);
    archiver.FileName = SystemToWide(args.Positionals()[0]);
    try {
        // Listing only reads: a missing archive is reported instead of being created as Open would.
        archiver.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", WithClosingPeriod(e.Message()).c_str());
        return 2;
    }
    // Written line by line through stdio's buffer: a listing as large as the directory is never held.
    TZADirArray& items = archiver.DirManager()->Items;
    std::optional<TDeltaManifest> manifest;
    try {
        manifest = ReadDeltaManifest(archiver);
    } catch (const EDeltaError& e) {
        std::fprintf(stderr, "%s\n", WithClosingPeriod(e.Message()).c_str());
        return 1;
    }
    bool written = true;
    std::string line;
    for (std::int32_t i = 0; i < items.Count() && written; ++i) {
        // The reserved folder is shown for what it holds, below.
        if (manifest && IsReservedEntry(items.Item(i)))
            continue;
        AppendEntry(line, items.Item(i));
        written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
        WarnOfLauncherFile(WideToUtf8(items.Item(i).Name));
    }
    if (manifest) {
        for (const TDeltaRecord& d : manifest->deltas) {
            const std::int32_t data = FindEntry(archiver, kDeltaFolder + d.entry);
            const std::uint64_t packed =
                data < 0 ? 0 : archiver.DirManager()->Items.Item(data).FullCompressedSize();
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", d.mode);
            line = "delta\t" + std::to_string(packed) + "\t" + std::to_string(d.newSize) + "\t" +
                   d.newSha256.substr(0, 8) + "\tfrom " + std::to_string(d.oldSize) + "\t" + mode + "\t" +
                   d.name + "\n";
            written = written && std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
            WarnOfLauncherFile(d.name);
        }
        for (const std::string& name : manifest->removals) {
            line = "remove\t\t\t\t\t\t" + name + "\n";
            written = written && std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
            WarnOfLauncherFile(name);
        }
        if (!manifest->companion.empty()) {
            line = "companion\t\t\t\t\t\t" + manifest->companion + "\n";
            written = written && std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
        }
    }
    archiver.Close();
    return std::fflush(stdout) == 0 && written ? 0 : 1;
}

} // namespace pc::patchctl
