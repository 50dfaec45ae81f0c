// The checks of `patchctl lint` that download: a list given by its URL, and with --fetch every archive
// that a new installation would fetch, tested as the launcher would extract it.
#include "tools/patchctl/lint_fetch.h"
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "framework/line_list.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/archiver_settings.h"
#include "launcher/install/installation.h"
#include "launcher/install/own_files.h"
#include "launcher/list/client_manifest.h"
#include "launcher/list/list_signature.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/release_road.h"
#include "launcher/list/trust_statement.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/remote_zip.h"
#include "launcher/repair/release_update.h"
#include "tools/patchctl/console_ui.h"
#include "tools/patchctl/lint_report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace pc::patchctl {

namespace fs = std::filesystem;

bool IsUrl(const std::string& text) {
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

ScratchDir::ScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("patchctl-lint-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(candidate, error))
            path_ = candidate.string() + "/";
    }
    if (path_.empty())
        throw EFCreateError("Cannot create file " + (fs::temp_directory_path() / "patchctl-lint-").string());
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool DownloadListForLint(const std::string& url, bool withSignature, const std::string& scratch,
                         std::string& file, std::string& signatureFile, std::string& trustFile) {
    TZipArchiver archiver;
    ConsoleUi ui(archiver);
    file = scratch + kPatchListFileName;
    std::string reason;
    DownloadOptions options;
    options.maxBytes = kPatchListMaxBytes; // what the launcher refuses to download
    if (!Download(ui, url, file, TProgressBar::pbUntouched, options, DefaultDownloadLimits(), &reason)) {
        std::printf("%s: not downloadable: %s\n", url.c_str(), reason.c_str());
        return false;
    }
    signatureFile = scratch + kSignatureFileName;
    trustFile = scratch + kTrustDownloadFileName;
    for (const auto& [beside, besideFile] :
         {std::pair{SignatureUrlOf(url), signatureFile}, {TrustUrlOf(url), trustFile}})
        if (withSignature &&
            !Download(ui, beside, besideFile, TProgressBar::pbUntouched, DefaultDownloadLimits(), &reason))
            RemoveFile(besideFile);
    return true;
}

namespace {

std::string Sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    TSha256 hash;
    std::vector<char> chunk(1 << 16);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        hash.Update(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    return hash.HexDigest();
}

// Opens a downloaded archive as the launcher would; the error's words when it does not open.
std::optional<std::string> OpenAsLauncher(TZipArchiver& zip, const std::string& file) {
    ApplyLauncherArchiverSettings(zip);
    zip.FileName = SystemToWide(file);
    try {
        zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception& e) {
        return WithClosingPeriod(e.Message());
    }
    return std::nullopt;
}

// A file entry made on Unix whose stored mode lets every user write it: this launcher takes the umask off
// such modes, but a launcher or tool that keeps stored modes gives the players a file that any local user
// can change (pack stores what the file system had, 0777 from a FAT or NTFS tree).
void CheckStoredMode(LintReport& report, int line, const TDirItem& item, const std::string& shown) {
    constexpr unsigned kHostUnix = 3;
    const std::uint32_t mode = item.ExternalAttr >> 16;
    const std::uint32_t type = mode & 0170000;
    if ((item.VersionMadeBy >> 8) != kHostUnix || (type != 0 && type != 0100000) || (mode & 0002) == 0)
        return;
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    char suggested[16];
    std::snprintf(suggested, sizeof suggested, "%04o", static_cast<unsigned>(mode & 0755));
    report.Problem(line, "entry '" + shown + "' is stored world-writable (mode " + octal +
                             "): where stored modes are kept, any local user can change that file; store it "
                             "as " +
                             suggested);
}

// Hashes what is written into it.
class HashingSink : public TStream {
public:
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        hash_.Update(buffer, static_cast<std::size_t>(count));
        size_ += count;
        return count;
    }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
    void SetSize(std::int64_t) override {}
    std::string Digest() { return hash_.HexDigest(); }
    std::int64_t Written() const { return size_; }

private:
    TSha256 hash_;
    std::int64_t size_ = 0;
};

// A delta patch's companion, downloaded from beside the patch: it must hold every file the patch carries as
// a delta, whole and with the SHA-256 the manifest gives, or players whose files differ cannot update.
void TestCompanion(LintReport& report, int line, UiPort& ui, const std::string& patchUrl,
                   const TDeltaManifest& manifest, const std::string& file) {
    const std::string url = CompanionUrl(patchUrl, manifest.companion);
    std::string reason;
    if (!Download(ui, url, file, TProgressBar::pbStep, DefaultDownloadLimits(), &reason)) {
        report.Problem(line, "the companion " + url + " is not downloadable: " +
                                 (reason.empty() ? std::string("no reason given") : reason));
        RemoveFile(file);
        return;
    }
    TZipArchiver zip;
    if (const std::optional<std::string> failure = OpenAsLauncher(zip, file)) {
        report.Problem(line, "the companion " + url + " does not open: " + *failure);
        RemoveFile(file);
        return;
    }
    for (const TDeltaRecord& record : manifest.deltas) {
        const std::int32_t index = FindEntry(zip, record.name);
        if (index < 0) {
            report.Problem(line, "the companion " + url + " lacks " + record.name);
            continue;
        }
        HashingSink sink;
        try {
            zip.DecodeEntry(index, sink);
        } catch (const Exception& e) {
            report.Problem(line, "the companion's " + record.name +
                                     " does not decode: " + WithClosingPeriod(e.Message()));
            continue;
        }
        if (sink.Written() != record.newSize || sink.Digest() != record.newSha256)
            report.Problem(line,
                           "the companion's " + record.name + " is not the file the patch's delta makes");
    }
    zip.Close();
    RemoveFile(file);
}

// Opens a downloaded archive as the launcher would and decodes every entry into a null sink; reports what
// the launcher would fail on or skip. The manifest of a delta patch is read as the launcher reads it.
void TestArchive(LintReport& report, int line, const std::string& file,
                 std::optional<TDeltaManifest>& manifest) {
    TZipArchiver zip;
    if (const std::optional<std::string> failure = OpenAsLauncher(zip, file)) {
        report.Problem(line, "the archive does not open: " + *failure);
        return;
    }
    TZADirArray& items = zip.DirManager()->Items;
    TNullStream sink;
    for (std::int32_t i = 0; i < items.Count(); ++i) {
        const std::u16string name = items.Item(i).Name;
        const std::string shown = WideToUtf8(name);
        if (IsUnsafeEntryName(name)) {
            report.Problem(line, "unsafe entry name '" + shown + "': the launcher does not extract it");
            continue;
        }
        if (IsLauncherOwnFile(shown)) {
            report.Problem(line, "entry '" + shown +
                                     "' is a file of the launcher: the launcher does not extract it");
            continue;
        }
        if ((items.Item(i).Flags & kFlagEncrypted) != 0) {
            report.Problem(line,
                           "entry '" + shown + "' is encrypted: the launcher has no password and skips it");
            continue;
        }
        CheckStoredMode(report, line, items.Item(i), shown);
        try {
            zip.DecodeEntry(i, sink);
        } catch (const Exception& e) {
            report.Problem(line, "entry '" + shown + "' does not decode: " + WithClosingPeriod(e.Message()));
        }
    }
    try {
        manifest = ReadDeltaManifest(zip);
        for (const TDeltaRecord& record : manifest ? manifest->deltas : std::vector<TDeltaRecord>{})
            if (FindEntry(zip, kDeltaFolder + record.entry) < 0)
                report.Problem(line, "the delta of " + record.name + " is missing from the archive");
        if (manifest) {
            std::vector<std::string> named = manifest->removals;
            for (const TDeltaRecord& record : manifest->deltas)
                named.push_back(record.name);
            for (const std::string& name : named)
                if (IsLauncherOwnFile(name))
                    report.Problem(line, "the manifest names " + name +
                                             ", a file of the launcher: the launcher leaves it alone");
        }
    } catch (const EDeltaError& e) {
        report.Problem(line, WithClosingPeriod(e.Message()));
    }
    zip.Close();
}

// The line number of each row of the list at `path`, in order.
// The numbers (from 1) of the lines that `pick` takes.
std::vector<int> LinesOf(const std::string& path, bool (*pick)(std::string_view)) {
    TStringList lines;
    lines.LoadLines(path);
    std::vector<int> numbers;
    for (int i = 0; i < lines.LineCount(); ++i)
        if (pick(lines.LineAt(i)))
            numbers.push_back(i + 1);
    return numbers;
}

// Each mirror of a row must serve the same bytes: those the list's SHA-256 names, else those the row's
// own URL served (else the first mirror's).
void CheckMirrors(LintReport& report, int line, UiPort& ui, TDelivery& fetching,
                  const std::vector<std::string>& sources, std::string reference,
                  const std::string& scratch) {
    const std::string file = scratch + "mirror";
    DownloadOptions options;
    options.delivery = &fetching;
    for (std::size_t i = 1; i < sources.size(); ++i) {
        std::string reason;
        if (!Download(ui, sources[i], file, TProgressBar::pbUntouched, options, DefaultDownloadLimits(),
                      &reason)) {
            report.Problem(line, "mirror " + sources[i] + " not downloadable: " +
                                     (reason.empty() ? std::string("no reason given") : reason));
            RemoveFile(file);
            continue;
        }
        const std::string digest = Sha256OfFile(file);
        RemoveFile(file);
        if (reference.empty())
            reference = digest;
        else if (digest != reference)
            report.Problem(line, "mirror " + sources[i] + " holds other bytes: SHA-256 " + digest + ", not " +
                                     reference);
    }
}

} // namespace

int FetchArchives(const std::string& path, const std::string& label, const std::string& scratch) {
    LintReport report(label);
    auto table = std::make_unique<TPatchList>();
    std::vector<TMirrorRule> mirrorRules;
    // A release's direct rows are checked as its other rows: a launcher takes them in their place.
    std::vector<TDirectRow> directRows;
    std::vector<int> lineOfDirect;
    const std::vector<int> directLines = LinesOf(path, IsDirectRowLine);
    std::size_t directSeen = 0;
    try {
        ParsePatchList(path, *table, [&](std::string_view line) {
            TakeMirrorLine(line, mirrorRules);
            if (!IsDirectRowLine(line))
                return;
            const std::size_t before = directRows.size();
            TakeDirectRowLine(line, directRows);
            if (directRows.size() > before && directSeen < directLines.size())
                lineOfDirect.push_back(directLines[directSeen]);
            ++directSeen;
        });
    } catch (const Exception& e) {
        std::printf("%s: archives not fetched: the launcher stops reading this list (%s)\n", label.c_str(),
                    WithClosingPeriod(e.Message()).c_str());
        return 0; // reported by the row checks already
    }
    const std::vector<int> lineOfRow = LinesOf(path, IsPatchListRow);

    TZipArchiver archiver;
    ConsoleUi ui(archiver);
    const std::string file = scratch + "archive";
    // Every place is fetched on its own, so no download fails over to a mirror; a host that did not answer
    // is not asked again for the next row.
    TDelivery fetching;
    TDelivery places;
    places.SetMirrorRules(std::move(mirrorRules));
    DownloadOptions options;
    options.delivery = &fetching;
    const auto check = [&](const TPatchRec& row, int line) {
        ui.SetProgressVisible(true);
        ui.SetProgressPosition(0);
        ui.SetProgressMax(row.size < 0 ? 0 : row.size);
        std::string reason;
        const bool fetched =
            Download(ui, row.url, file, TProgressBar::pbStep, options, DefaultDownloadLimits(), &reason);
        ui.SetProgressVisible(false);
        std::string reference = row.sha256;
        if (fetched && reference.empty())
            reference = Sha256OfFile(file);
        CheckMirrors(report, line, ui, fetching, places.SourcesOf(row.url, true), reference, scratch);
        if (!fetched) {
            report.Problem(line,
                           "not downloadable: " + (reason.empty() ? std::string("no reason given") : reason));
            RemoveFile(file);
            return;
        }
        std::error_code error;
        const auto size = static_cast<std::int64_t>(fs::file_size(file, error));
        if (size != row.size)
            report.Problem(line, "size differs: the list gives " + std::to_string(row.size) +
                                     " bytes, the server sends " + std::to_string(size));
        if (!row.sha256.empty()) {
            const std::string digest = Sha256OfFile(file);
            if (digest != row.sha256)
                report.Problem(line, "SHA-256 differs: the list gives " + row.sha256 + ", the archive has " +
                                         digest);
        }
        std::optional<TDeltaManifest> manifest;
        TestArchive(report, line, file, manifest);
        RemoveFile(file);
        if (manifest && !manifest->deltas.empty() && row.group != 0)
            report.Problem(line, "patch " + std::to_string(row.id) + " is a delta patch in group " +
                                     std::to_string(row.group) +
                                     ": new installations skip the group's earlier rows and then lack every "
                                     "file it does not carry; a delta patch belongs in group 0");
        if (manifest && !manifest->companion.empty())
            TestCompanion(report, line, ui, row.url, *manifest, scratch + "companion");
    };
    for (std::int32_t i = 0; i <= table->high; ++i) {
        const TPatchRec& row = table->items[static_cast<std::size_t>(i)];
        if (row.group == 0 || FindLaterInGroup(*table, i) == -1)
            check(row, lineOfRow[static_cast<std::size_t>(i)]);
    }
    for (std::size_t i = 0; i < directRows.size() && i < lineOfDirect.size(); ++i)
        check(directRows[i].row, lineOfDirect[i]);
    return report.Problems();
}

namespace {

// Names on which the manifest and the archive disagree are told up to this many; a manifest of another
// release would otherwise print one line per file.
constexpr int kDisagreementsShown = 10;

// Compares the manifest's files with the file entries of the archive's directory: the same names, the
// same sizes, packed so that installations can fetch them alone.
void CompareWithDirectory(LintReport& report, int line, const TClientManifest& manifest,
                          const std::vector<TRemoteEntry>& entries, const std::string& archiveUrl) {
    std::map<std::string_view, const TRemoteEntry*> files;
    for (const TRemoteEntry& entry : entries)
        if (!entry.name.empty() && entry.name.back() != '/')
            files.emplace(entry.name, &entry);
    int disagreements = 0;
    const auto tell = [&](const std::string& text) {
        if (++disagreements <= kDisagreementsShown)
            report.Problem(line, text);
    };
    for (const TClientFile& file : manifest.files) {
        const auto found = files.find(file.name);
        if (found == files.end()) {
            tell("the client manifest names '" + file.name + "', which " + archiveUrl + " does not hold");
            continue;
        }
        const TRemoteEntry& entry = *found->second;
        if (entry.size != file.size)
            tell("'" + file.name + "' has " + std::to_string(file.size) +
                 " bytes in the client manifest and " + std::to_string(entry.size) + " in " + archiveUrl);
        else if (entry.method != 0 && entry.method != 8)
            tell("'" + file.name + "' is packed with method " + std::to_string(entry.method) + " in " +
                 archiveUrl + ", which installations cannot fetch alone");
        files.erase(found);
    }
    for (const auto& [name, entry] : files)
        tell("'" + std::string(name) + "' is in " + archiveUrl + " but not in the client manifest");
    if (disagreements > kDisagreementsShown)
        report.Problem(line, std::to_string(disagreements - kDisagreementsShown) +
                                 " more names on which the client manifest and the archive disagree");
}

// Rows that the snapshot does not hold: an installation that applies one is newer than the snapshot and can
// no longer be checked or repaired against it.
void ReportRowsAfterSnapshot(LintReport& report, const std::string& path, const TClientLine& client,
                             int clientLine) {
    if (!client.patch) {
        report.Information(clientLine, "the client line does not say which patches its snapshot holds, and "
                                       "installations take it to hold every row; set it again with patchctl "
                                       "publish --client");
        return;
    }
    auto table = std::make_unique<TPatchList>();
    try {
        ParsePatchList(path, *table);
    } catch (const Exception&) {
        return; // reported by the row checks already
    }
    const std::vector<int> lineOfRow = LinesOf(path, IsPatchListRow);
    for (std::int32_t i = 0; i <= table->high; ++i)
        if (const TPatchRec& row = table->items[static_cast<std::size_t>(i)]; row.id > *client.patch)
            report.Problem(lineOfRow[static_cast<std::size_t>(i)],
                           "the client snapshot predates patch " + std::to_string(row.id) +
                               " (it holds the patches up to " + std::to_string(*client.patch) +
                               "): installations that apply it cannot be checked or repaired; publish a "
                               "snapshot of this release: patchctl snapshot, then patchctl publish --client");
}

// The number of the first line of `bytes` that `is` picks, or 0.
int FirstLineWhere(const std::string& bytes, bool (*is)(std::string_view)) {
    int found = 0;
    TStringList::VisitLines(bytes, [&, number = 0](std::string_view text) mutable {
        ++number;
        if (found == 0 && is(text))
            found = number;
    });
    return found;
}

// The removed files that healing from far behind downloads: the file the list names, readable, and naming
// nothing that the latest release has, which healing would keep and so never remove.
void TestRemovedFiles(LintReport& report, UiPort& ui, const std::string& listBytes,
                      const TClientManifest& latest, const std::string& scratch) {
    const TRemovedReference reference = ReadRemovedReference(listBytes);
    if (!reference.line)
        return; // none, or a line that the line checks reported
    const int line = FirstLineWhere(listBytes, IsRemovedLineWord);
    std::string why;
    const std::optional<std::vector<TRemovedFile>> removed =
        FetchRemovedFiles(ui, *reference.line, scratch + kRemovedFilesFileName, nullptr, why);
    if (!removed) {
        report.Problem(line, why);
        return;
    }
    std::set<std::string> latestNames;
    for (const TClientFile& f : latest.files)
        latestNames.insert(AsciiLowerCase(f.name));
    const int problems = report.Problems();
    for (const TRemovedFile& f : *removed)
        if (latestNames.count(AsciiLowerCase(f.name)) != 0)
            report.Problem(line, "the list of removed files names '" + f.name +
                                     "', which the client manifest holds: healing keeps it");
    if (report.Problems() == problems)
        report.Information(line,
                           "list of removed files: " + Counted(static_cast<int>(removed->size()), "name"));
}

} // namespace

int FetchClient(const std::string& path, const std::string& label, const std::string& scratch) {
    const std::string bytes = ReadWholeFile(path);
    const TClientReference reference = ReadClientReference(bytes);
    if (!reference.line)
        return 0; // no client line, or one that the line checks reported
    const int line = FirstLineWhere(bytes, IsClientLineWord);
    LintReport report(label);
    TZipArchiver archiver;
    ConsoleUi ui(archiver);

    const std::string& url = reference.line->url;
    const std::string file = scratch + kClientManifestFileName;
    DownloadOptions options;
    options.maxBytes = kClientManifestMaxBytes; // what installations refuse to download
    std::string reason;
    if (!Download(ui, url, file, TProgressBar::pbUntouched, options, DefaultDownloadLimits(), &reason)) {
        report.Problem(line, "client manifest not downloadable: " +
                                 (reason.empty() ? std::string("no reason given") : reason));
        RemoveFile(file);
        return report.Problems();
    }
    const std::string text = ReadWholeFile(file);
    RemoveFile(file);
    TSha256 hash;
    hash.Update(text.data(), text.size());
    if (const std::string digest = hash.HexDigest(); digest != reference.line->sha256) {
        report.Problem(line, "client manifest SHA-256 differs: the list gives " + reference.line->sha256 +
                                 ", the server sends " + digest);
        return report.Problems();
    }
    TClientManifest manifest;
    try {
        manifest = ParseClientManifest(text);
    } catch (const EClientManifestError& e) {
        report.Problem(line, e.Message());
        return report.Problems();
    }

    const std::string archiveUrl = ClientArchiveUrl(url, manifest.archiveName);
    TRemoteZip zip(ui, archiveUrl, DefaultDownloadLimits());
    std::string failure;
    if (!zip.ReadDirectory(failure)) {
        report.Problem(line, "client archive " + archiveUrl + ": " + failure);
        return report.Problems();
    }
    CompareWithDirectory(report, line, manifest, zip.Entries(), archiveUrl);
    ReportRowsAfterSnapshot(report, path, *reference.line, line);
    if (report.Problems() == 0)
        report.Information(line, "client manifest: " + std::to_string(manifest.files.size()) +
                                     " files agree with the directory of " + archiveUrl);
    TestRemovedFiles(report, ui, bytes, manifest, scratch);
    return report.Problems();
}

} // namespace pc::patchctl
