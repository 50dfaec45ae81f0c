// The checks of `patchctl lint` that download: a list given by its URL, and with --fetch every archive
// that a new installation would fetch, tested as the launcher would extract it.
#include "tools/patchctl/lint_fetch.h"
#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "archive/zip_archiver.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/line_list.h"
#include "launcher/archiver_settings.h"
#include "launcher/delivery.h"
#include "launcher/download.h"
#include "launcher/list_signature.h"
#include "launcher/patch_list.h"
#include "launcher/update_run.h"
#include "tools/patchctl/console_ui.h"
#include "tools/patchctl/lint.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
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
                         std::string& file, std::string& signatureFile) {
    TZipArchiver archiver;
    ConsoleUi ui(archiver);
    file = scratch + kPatchListFileName;
    std::string reason;
    DownloadOptions options;
    options.maxBytes = kPatchListMaxBytes; // what the launcher refuses to download
    if (!Download(ui, url, file, false, options, DefaultDownloadLimits(), &reason)) {
        std::printf("%s: not downloadable: %s\n", url.c_str(), reason.c_str());
        return false;
    }
    signatureFile = scratch + kSignatureFileName;
    if (withSignature &&
        !Download(ui, SignatureUrlOf(url), signatureFile, false, DefaultDownloadLimits(), &reason))
        RemoveFile(signatureFile);
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

// Opens a downloaded archive as the launcher would and decodes every entry into a null sink; reports what
// the launcher would fail on or skip.
void TestArchive(LintReport& report, int line, const std::string& file) {
    TZipArchiver zip;
    ApplyLauncherArchiverSettings(zip);
    zip.FileName = SystemToWide(file);
    try {
        zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception& e) {
        report.Problem(line, "the archive does not open: " + WithClosingPeriod(e.Message()));
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
    zip.Close();
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
        if (!Download(ui, sources[i], file, false, options, DefaultDownloadLimits(), &reason)) {
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
    try {
        ParsePatchList(path, *table,
                       [&mirrorRules](std::string_view line) { TakeMirrorLine(line, mirrorRules); });
    } catch (const Exception& e) {
        std::printf("%s: archives not fetched: the launcher stops reading this list (%s)\n", label.c_str(),
                    WithClosingPeriod(e.Message()).c_str());
        return 0; // reported by the row checks already
    }
    TStringList lines;
    lines.LoadLines(path);
    std::vector<int> lineOfRow;
    for (int i = 0; i < lines.LineCount(); ++i)
        if (IsPatchListRow(lines.LineAt(i)))
            lineOfRow.push_back(i + 1);

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
    for (std::int32_t i = 0; i <= table->high; ++i) {
        const TPatchRec& row = table->items[static_cast<std::size_t>(i)];
        const int line = lineOfRow[static_cast<std::size_t>(i)];
        if (row.group != 0 && FindLaterInGroup(*table, i) != -1)
            continue;
        ui.SetProgressVisible(true);
        ui.SetProgressPosition(0);
        ui.SetProgressMax(row.size < 0 ? 0 : row.size);
        std::string reason;
        const bool fetched = Download(ui, row.url, file, true, options, DefaultDownloadLimits(), &reason);
        ui.SetProgressVisible(false);
        std::string reference = row.sha256;
        if (fetched && reference.empty())
            reference = Sha256OfFile(file);
        CheckMirrors(report, line, ui, fetching, places.SourcesOf(row.url, true), reference, scratch);
        if (!fetched) {
            report.Problem(line,
                           "not downloadable: " + (reason.empty() ? std::string("no reason given") : reason));
            RemoveFile(file);
            continue;
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
        TestArchive(report, line, file);
        RemoveFile(file);
    }
    return report.Problems();
}

} // namespace pc::patchctl
