// patchctl publish LIST ARCHIVE URL: appends the archive's row to a patch list, with its size and SHA-256,
// after the list has passed lint; with --key the list is signed afterwards.
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "launcher/list_freshness.h"
#include "launcher/patch_list.h"
#include "launcher/update_run.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/lint.h"
#include "tools/patchctl/signing.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

namespace fs = std::filesystem;

constexpr int kRefused = 1;
constexpr int kUsageError = 2;

const char* const kUsage =
    "publish LIST ARCHIVE URL [--id N] [--group G] [--run PROGRAM] [--force] [--key KEY.pem]";

int UsageError(const std::string& what) {
    std::fprintf(stderr, "patchctl publish: %s\nusage: patchctl %s\n", what.c_str(), kUsage);
    return kUsageError;
}

int Refuse(const std::string& what) {
    std::fprintf(stderr, "patchctl publish: %s; the list is unchanged\n", what.c_str());
    return kRefused;
}

std::optional<std::int32_t> Number(const std::string& text) {
    try {
        return ParseInteger(text);
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

std::string HashOfFile(const std::string& path) {
    TSha256 hash;
    const std::string bytes = ReadWholeFile(path);
    hash.Update(bytes.data(), bytes.size());
    return hash.HexDigest();
}

int Run(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool force = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--force") {
            force = true;
        } else if (arg == "--id" || arg == "--group" || arg == "--run" || arg == "--key") {
            if (i + 1 >= args.size())
                return UsageError(arg + " needs a value");
            options[arg] = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option: " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3)
        return UsageError("a list, an archive and its URL are needed");
    const std::string& list = positional[0];
    const std::string& archive = positional[1];
    const std::string& url = positional[2];

    std::optional<std::int32_t> id, group = 0;
    if (options.count("--id") && !(id = Number(options["--id"])))
        return UsageError("--id needs a number, not '" + options["--id"] + "'");
    if (options.count("--group") && !(group = Number(options["--group"])))
        return UsageError("--group needs a number, not '" + options["--group"] + "'");
    const std::string run = options.count("--run") ? options["--run"] : "";
    for (const std::string* text : {&url, &run})
        if (text->find_first_of("\t\r\n") != std::string::npos || text->find('\0') != std::string::npos)
            return UsageError("'" + *text + "' holds a TAB or a line break, which a row cannot carry");
    if (!run.empty() && IsUnsafeEntryName(Utf8ToWide(run)))
        return UsageError("the program '" + run + "' must lie inside the installation");

    std::error_code error;
    if (!fs::is_regular_file(archive, error))
        return UsageError("'" + archive + "' is not a file");
    const std::string stored = ArchiveFileName(url, true);
    const std::string archiveName = fs::path(archive).filename().string();
    if (stored != archiveName && !force)
        return UsageError(
            "the URL's last segment '" + stored + "' differs from the archive's name '" + archiveName +
            "', and the launcher stores the download under the segment (--force to publish anyway)");
    const std::uintmax_t size = fs::file_size(archive, error);
    if (error || size > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max()))
        return UsageError("'" + archive + "' is larger than a row's size field can say (2147483647 bytes)");

    // A key that cannot sign is found out before the list changes.
    std::string pem;
    if (options.count("--key")) {
        pem = ReadWholeFile(options["--key"]);
        PublicKeyOfSigningKey(pem);
    }

    // A list that does not exist yet starts empty: the first patch of a server.
    std::string bytes;
    if (fs::exists(list, error)) {
        bytes = ReadWholeFile(list);
        if (bytes.find('\0') != std::string::npos)
            return Refuse(list + " holds a NUL byte, where the launcher stops reading");
        int rows = 0;
        if (LintList(list, list, rows) != 0)
            return Refuse(list + " has problems (above)");
    }

    auto table = std::make_unique<TPatchList>();
    if (!bytes.empty())
        ParsePatchList(list, *table);
    std::int32_t highest = 0;
    for (std::int32_t i = 0; i <= table->high; ++i) {
        const TPatchRec& row = table->items[static_cast<std::size_t>(i)];
        highest = i == 0 ? row.id : std::max(highest, row.id);
        if (id && row.id == *id)
            return Refuse("id " + FormatInteger(*id) + " is already listed");
    }
    if (table->high + 1 >= kPatchListCapacity)
        return Refuse(list + " is full: the launcher takes " + FormatInteger(kPatchListCapacity) + " rows");
    if (!id) {
        if (highest == std::numeric_limits<std::int32_t>::max())
            return Refuse("no id above " + FormatInteger(highest) + " is left; give one with --id");
        id = table->high < 0 ? 1 : highest + 1;
    }

    const std::string row = FormatInteger(*id) + "\t" + url + "\t" +
                            FormatInteger(static_cast<std::int32_t>(size)) + "\t" + run + "\t" +
                            FormatInteger(*group) + "\t" + HashOfFile(archive) + "\r\n";
    // Every byte that is there stays; a last line without its line end gets one, so that the new row is
    // a line of its own.
    if (!bytes.empty() && bytes.back() != '\n' && bytes.back() != '\r')
        bytes += "\r\n";
    if (!options.count("--key")) {
        ReplaceFile(list, bytes + row);
        std::printf("%s: patch %d added: %s, %ju bytes\n", list.c_str(), *id, url.c_str(),
                    static_cast<std::uintmax_t>(size));
        return 0;
    }
    // Signed, the list carries its next serial; a list that cannot carry one is refused unchanged.
    std::optional<TStampedList> stamped;
    try {
        stamped = StampListForSigning(bytes + row, std::nullopt, UnixSecondsNow());
    } catch (const EListStampError& e) {
        return Refuse(e.Message());
    }
    WriteSignedList(list, pem, *stamped);
    std::printf("%s: patch %d added: %s, %ju bytes\n", list.c_str(), *id, url.c_str(),
                static_cast<std::uintmax_t>(size));
    std::printf("%s\n", SignedSummary(list, *stamped).c_str());
    return 0;
}

} // namespace
} // namespace pc::patchctl

static const pc::patchctl::Registration reg("publish", pc::patchctl::kUsage, &pc::patchctl::Run);
