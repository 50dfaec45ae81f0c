// patchctl publish LIST ARCHIVE URL: appends the archive's row to a patch list, with its size and SHA-256,
// after the list has passed lint; with --key the list is signed afterwards.
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "framework/line_list.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/install/installation.h"
#include "launcher/list/client_manifest.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/update_run.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/file_digest.h"
#include "tools/patchctl/lint.h"
#include "tools/patchctl/lint_fetch.h"
#include "tools/patchctl/list_text.h"
#include "tools/patchctl/signing.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc::patchctl {
namespace {

namespace fs = std::filesystem;

constexpr int kRefused = 1;

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

// The archive's SHA-256, read in pieces: an archive of any size costs one buffer.
std::string HashOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EFOpenError("Cannot open file " + path);
    TSha256 hash;
    std::vector<char> chunk(1 << 16);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        hash.Update(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad())
        throw EFOpenError("Cannot open file " + path);
    return hash.HexDigest();
}

// Why the list must not take a row for `url` with `sha256`: a row that already names the same URL or the
// same archive would be applied a second time by every installation. Empty when neither is listed.
std::string DuplicateRowOf(const TPatchList& table, const std::string& url, const std::string& sha256) {
    for (std::int32_t i = 0; i <= table.high; ++i) {
        const TPatchRec& row = table.items[static_cast<std::size_t>(i)];
        const char* same = row.url == url ? "URL" : row.sha256 == sha256 ? "archive (same SHA-256)" : nullptr;
        if (same != nullptr)
            return "patch " + FormatInteger(row.id) + " already has this " + same +
                   "; installations would apply it twice";
    }
    return {};
}

// A list that is signed and changed without a key loses its signature's match, and every launcher with
// the key then refuses the whole list; so publish signs again (--key) or removes the signature on purpose
// (--unsigned). Empty when publishing may go on.
std::string StaleSignatureRefusal(const std::string& list, bool signing, bool unsignedWanted) {
    std::error_code error;
    const std::string signature = SignatureFileOf(list);
    if (signing || unsignedWanted || !fs::exists(fs::symlink_status(signature, error)))
        return {};
    return signature + " exists and would not match the changed list, so every launcher with the key would "
                       "refuse it: give --key KEY.pem to sign again, or --unsigned to remove the signature";
}

// What a publish starts from: the signing key and the list as it stands.
struct TListChange {
    std::vector<std::string> pems;
    std::string bytes; // empty for a list that does not exist yet: the first patch of a server
    bool existed = false;
};

// Reads the key (one that cannot sign is found out before the list changes) and the list; the refusal's
// words when the list must stay as it is, empty otherwise.
std::string ReadListToChange(const std::string& list, const std::vector<std::string>& keyPaths,
                             bool unsignedWanted, TListChange& change) {
    change.pems = ReadSigningKeys(keyPaths);
    if (std::string refusal = StaleSignatureRefusal(list, !keyPaths.empty(), unsignedWanted);
        !refusal.empty())
        return refusal;
    std::error_code error;
    change.existed = fs::exists(list, error);
    if (change.existed) {
        change.bytes = ReadWholeFile(list);
        if (change.bytes.find('\0') != std::string::npos)
            return list + " holds a NUL byte, where the launcher stops reading";
    }
    return {};
}

// Removes the list's signature, for --unsigned.
void RemoveSignature(const std::string& list) {
    const std::string signature = SignatureFileOf(list);
    std::error_code error;
    if (fs::remove(signature, error))
        std::printf("%s: removed\n", signature.c_str());
    else if (error)
        throw EFCreateError("Cannot delete file " + signature);
}

// --dry-run: the row as it would be appended (its CR LF shown as a plain line end); nothing is written.
void ShowRow(const std::string& list, std::int32_t id, const std::string& url, std::uintmax_t size,
             const std::string& row) {
    std::printf("%s: patch %d would be added: %s, %ju bytes (dry run, nothing changed)\n%s\n", list.c_str(),
                id, url.c_str(), size, row.substr(0, row.size() - 2).c_str());
}

// The companion a delta patch names, empty for any other archive. EDeltaError for a damaged manifest.
std::string CompanionOf(const std::string& archive) {
    TZipArchiver zip;
    zip.FileName = SystemToWide(archive);
    try {
        zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception&) {
        return {}; // not an archive at all; publishing such a file is the operator's choice, as before
    }
    const std::optional<TDeltaManifest> manifest = ReadDeltaManifest(zip);
    zip.Close();
    return manifest ? manifest->companion : std::string();
}

// The delta patch beside `archive` whose companion it is ("p0003.zip" for "p0003-full.zip"), empty when it
// is none's.
std::string PatchOfCompanion(const std::string& archive) {
    const fs::path path(archive);
    const std::string name = path.filename().string();
    constexpr std::string_view kSuffix = "-full.zip";
    if (name.size() <= kSuffix.size() || AsciiLowerCase(name.substr(name.size() - kSuffix.size())) != kSuffix)
        return {};
    const fs::path patch = path.parent_path() / (name.substr(0, name.size() - kSuffix.size()) + ".zip");
    std::error_code error;
    if (!fs::is_regular_file(patch, error))
        return {};
    try {
        return CompanionOf(patch.string()) == name ? patch.string() : std::string();
    } catch (const EDeltaError&) {
        return {};
    }
}

// A row added after the client line is not in the snapshot the line names: installations that apply it can
// no longer be checked against that snapshot.
void WarnOfOlderSnapshot(const std::string& bytes) {
    bool named = false;
    TStringList::VisitLines(bytes,
                            [&named](std::string_view line) { named = named || IsClientLineWord(line); });
    if (named)
        std::fprintf(stderr, "patchctl publish: warning: the client snapshot predates this patch; publish a "
                             "snapshot of this release: patchctl snapshot CLIENT_DIR OUTDIR, then patchctl "
                             "publish LIST --client OUTDIR/client.manifest URL\n");
}

void TellCompanion(const std::string& archive, const std::string& url, const std::string& companion) {
    if (companion.empty())
        return;
    std::printf("upload %s beside it, as %s\n",
                (fs::path(archive).parent_path() / companion).string().c_str(),
                CompanionUrl(url, companion).c_str());
}

} // namespace

std::string ReleaseTimeAndShareTags(const Arguments& args) {
    // Launchers that do not know these tags apply the row at once.
    std::string tags;
    if (const std::optional<std::string> moment = args.Value("--available-from")) {
        if (!ParseUtcTime(*moment))
            throw UsageError("--available-from needs a UTC time as 2026-12-10T18:00:00Z, not '" + *moment +
                             "'");
        tags += "\t" + std::string(kAvailableTag) + "=" + *moment;
    }
    if (const std::optional<std::string> share = args.Value("--rollout")) {
        if (!ParseRolloutPercent(*share))
            throw UsageError("--rollout needs a whole number of percent from 1 to 100, not '" + *share + "'");
        tags += "\t" + std::string(kRolloutTag) + "=" + *share;
    }
    return tags;
}

namespace {

// The list's bytes with its client line set to `line`: in place of the first client line there (any
// others, well formed or not, go with their line ends), or appended as a line of its own.
std::string WithClientLine(const std::string& bytes, const std::string& line) {
    std::string result;
    bool placed = false;
    ForEachListLine(bytes, [&](std::string_view text, std::string_view whole) {
        if (!IsClientLineWord(text)) {
            result += whole;
        } else if (!placed) {
            result += line + "\r\n";
            placed = true;
        }
    });
    if (!placed) {
        if (!result.empty() && result.back() != '\n' && result.back() != '\r')
            result += "\r\n";
        result += line + "\r\n";
    }
    return result;
}

// publish LIST --client MANIFEST URL: names the client manifest in the list, so that installations can
// check their files against it and heal the damaged ones.
int PublishClient(const Arguments& args) {
    const std::vector<std::string>& positional = args.Positionals();
    if (positional.size() != 2)
        throw UsageError("with --client, LIST and the manifest's URL are needed");
    for (const char* option : {"--id", "--group", "--run", "--force", "--available-from", "--rollout"})
        if (args.Has(option))
            throw UsageError(std::string(option) + " does not go with --client");
    const std::string& list = positional[0];
    const std::string manifestPath = *args.Value("--client");
    const std::string& url = positional[1];
    const bool dryRun = args.Has("--dry-run"), unsignedWanted = args.Has("--unsigned");
    const std::vector<std::string> keyPaths = args.Values("--key");
    if (!IsUrl(url) || url.find_first_of(" \t\r\n") != std::string::npos ||
        url.find('\0') != std::string::npos)
        throw UsageError("'" + url + "' is not an http:// or https:// URL without blanks");
    std::error_code error;
    if (!fs::is_regular_file(manifestPath, error))
        throw UsageError("'" + manifestPath + "' is not a file");

    // Only a manifest that installations can read is named, and only with the archive it was made with.
    const std::string text = ReadWholeFile(manifestPath);
    TClientManifest manifest;
    try {
        if (static_cast<std::int64_t>(text.size()) > kClientManifestMaxBytes)
            throw EClientManifestError("the manifest is larger than installations read (" +
                                       std::to_string(kClientManifestMaxBytes) + " bytes)");
        manifest = ParseClientManifest(text);
    } catch (const EClientManifestError& e) {
        return Refuse(manifestPath + ": " + e.Message());
    }
    const std::string archive = (fs::path(manifestPath).parent_path() / manifest.archiveName).string();
    if (!fs::is_regular_file(archive, error))
        return Refuse(archive + ", the archive the manifest names, is not beside it");
    if (Sha256OfFile(archive) != manifest.archiveSha256)
        return Refuse(archive + " is not the archive the manifest names (its SHA-256 differs)");

    TListChange change;
    if (const std::string refusal = ReadListToChange(list, keyPaths, unsignedWanted, change);
        !refusal.empty())
        return Refuse(refusal);
    const std::vector<std::string>& pems = change.pems;
    const std::string& bytes = change.bytes;
    TSha256 hash;
    hash.Update(text.data(), text.size());
    const std::string manifestSha256 = hash.HexDigest();
    const std::string archiveUrl = ClientArchiveUrl(url, manifest.archiveName);
    // The list as it will be passes lint: a broken client line is what this replaces, anything else stays
    // and must be sound already. The snapshot holds the patches the list has now: the line records the
    // last of them.
    std::string line, changed;
    {
        const ScratchDir scratch;
        const std::string candidate = scratch.Path() + fs::path(list).filename().string();
        ReplaceFile(candidate, WithClientLine(bytes, ClientLineText({url, manifestSha256, 0})));
        int rows = 0;
        if (LintList(candidate, list, rows) != 0)
            return Refuse(list + " has problems (above)");
        auto table = std::make_unique<TPatchList>();
        ParsePatchList(candidate, *table);
        line = ClientLineText({url, manifestSha256, HighestListedPatch(*table).value_or(0)});
        changed = WithClientLine(bytes, line);
    }
    if (dryRun) {
        std::printf("%s: the client line would be set (dry run, nothing changed)\n%s\n", list.c_str(),
                    line.c_str());
        return 0;
    }
    std::optional<TStampedList> stamped;
    if (!keyPaths.empty()) {
        try {
            stamped = StampListForSigning(changed, std::nullopt, UnixSecondsNow());
        } catch (const EListStampError& e) {
            return Refuse(e.Message());
        }
        WriteSignedList(list, pems, *stamped);
    } else {
        ReplaceFile(list, changed);
    }
    std::printf("%s: client manifest set: %s (%zu file%s)\n", list.c_str(), url.c_str(),
                manifest.files.size(), manifest.files.size() == 1 ? "" : "s");
    std::printf("upload %s to %s and %s to %s\n", manifestPath.c_str(), url.c_str(), archive.c_str(),
                archiveUrl.c_str());
    if (stamped)
        std::printf("%s\n", SignedSummary(list, *stamped).c_str());
    else if (unsignedWanted)
        RemoveSignature(list);
    return 0;
}

} // namespace

int RunPublish(const Arguments& args) {
    if (args.Has("--client"))
        return PublishClient(args);
    const std::vector<std::string>& positional = args.Positionals();
    if (positional.size() != 3)
        throw UsageError("LIST, ARCHIVE and URL are needed");
    const bool force = args.Has("--force"), dryRun = args.Has("--dry-run"),
               unsignedWanted = args.Has("--unsigned");
    const std::vector<std::string> keyPaths = args.Values("--key");
    const std::string& list = positional[0];
    const std::string& archive = positional[1];
    const std::string& url = positional[2];

    std::optional<std::int32_t> id, group = 0;
    for (const auto& [option, number] : {std::pair{"--id", &id}, std::pair{"--group", &group}})
        if (const std::optional<std::string> text = args.Value(option); text && !(*number = Number(*text)))
            throw UsageError(std::string(option) + " needs a number, not '" + *text + "'");
    const std::string run = args.Value("--run").value_or("");
    for (const std::string* text : {&url, &run})
        if (text->find_first_of("\t\r\n") != std::string::npos || text->find('\0') != std::string::npos)
            throw UsageError("'" + *text + "' holds a TAB or a line break, which a row cannot carry");
    if (!run.empty() && IsUnsafeEntryName(Utf8ToWide(run)))
        throw UsageError("the program '" + run + "' must lie inside the installation");
    const std::string tags = ReleaseTimeAndShareTags(args);

    std::error_code error;
    if (!fs::is_regular_file(archive, error))
        throw UsageError("'" + archive + "' is not a file");
    const std::string stored = ArchiveFileName(url);
    const std::string archiveName = fs::path(archive).filename().string();
    if (stored != archiveName && !force)
        throw UsageError(
            "the URL's last segment '" + stored + "' differs from the archive's name '" + archiveName +
            "', and the launcher stores the download under the segment (--force to publish anyway)");
    const std::uintmax_t size = fs::file_size(archive, error);
    if (error || size > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max()))
        throw UsageError("'" + archive + "' is larger than a row's size field can say (2147483647 bytes)");

    TListChange change;
    if (const std::string refusal = ReadListToChange(list, keyPaths, unsignedWanted, change);
        !refusal.empty())
        return Refuse(refusal);
    const std::vector<std::string>& pems = change.pems;
    std::string& bytes = change.bytes;
    if (change.existed) {
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

    if (const std::string patch = PatchOfCompanion(archive); !patch.empty())
        return Refuse("'" + archive + "' is the companion of the delta patch " + patch +
                      ", not a patch: it is uploaded beside that patch and never listed");
    // A delta patch needs its companion beside it on the server: players whose files differ take those
    // files whole from it.
    const std::string companion = CompanionOf(archive);
    if (!companion.empty() && *group != 0)
        return Refuse(
            "'" + archive + "' is a delta patch, and in group " + FormatInteger(*group) +
            " it would supersede the group's earlier rows for new installations, which would then lack "
            "every file it does not carry: publish it in group 0");
    if (!companion.empty() && !fs::is_regular_file(fs::path(archive).parent_path() / companion, error))
        return Refuse("'" + archive + "' is a delta patch, and its companion " + companion +
                      " is not beside it");
    const std::string sha256 = HashOfFile(archive);
    if (const std::string duplicate = DuplicateRowOf(*table, url, sha256); !duplicate.empty())
        return Refuse(duplicate);
    const std::string row = FormatInteger(*id) + "\t" + url + "\t" +
                            FormatInteger(static_cast<std::int32_t>(size)) + "\t" + run + "\t" +
                            FormatInteger(*group) + "\t" + sha256 + tags + "\r\n";
    if (dryRun) {
        ShowRow(list, *id, url, size, row);
        return 0;
    }
    // Every byte that is there stays; a last line without its line end gets one, so that the new row is
    // a line of its own.
    if (!bytes.empty() && bytes.back() != '\n' && bytes.back() != '\r')
        bytes += "\r\n";
    if (keyPaths.empty()) {
        ReplaceFile(list, bytes + row);
        std::printf("%s: patch %d added: %s, %ju bytes\n", list.c_str(), *id, url.c_str(),
                    static_cast<std::uintmax_t>(size));
        TellCompanion(archive, url, companion);
        WarnOfOlderSnapshot(bytes);
        if (unsignedWanted)
            RemoveSignature(list);
        return 0;
    }
    // Signed, the list carries its next serial; a list that cannot carry one is refused unchanged.
    std::optional<TStampedList> stamped;
    try {
        stamped = StampListForSigning(bytes + row, std::nullopt, UnixSecondsNow());
    } catch (const EListStampError& e) {
        return Refuse(e.Message());
    }
    WriteSignedList(list, pems, *stamped);
    std::printf("%s: patch %d added: %s, %ju bytes\n", list.c_str(), *id, url.c_str(),
                static_cast<std::uintmax_t>(size));
    TellCompanion(archive, url, companion);
    WarnOfOlderSnapshot(bytes);
    std::printf("%s\n", SignedSummary(list, *stamped).c_str());
    return 0;
}

} // namespace pc::patchctl
