#include "launcher/update_run.h"

#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/helpers.h"
#include "launcher/config.h"
#include "launcher/download.h"
#include "launcher/launching.h"
#include "launcher/list_signature.h"
#include "launcher/patch_list.h"
#include "launcher/ui_port.h"

namespace pc {
namespace {

// The launcher's call selects every entry: all names, and the hidden, system, volume and directory
// attribute bits all allowed.
constexpr const char16_t* kEveryEntryMask = u"*.*";
constexpr std::uint32_t kEveryAttribute = 10431; // 0x28BF

// Closes the component's archive when an error leaves the extraction, so that the file that stays in the
// installation is not held open for the rest of the process.
class OpenArchiveGuard {
public:
    explicit OpenArchiveGuard(TZipArchiver& archiver) : archiver_(archiver) {}
    OpenArchiveGuard(const OpenArchiveGuard&) = delete;
    OpenArchiveGuard& operator=(const OpenArchiveGuard&) = delete;
    ~OpenArchiveGuard() { archiver_.Close(); }

private:
    TZipArchiver& archiver_;
};

const TPatchRec& Row(std::int32_t index) {
    return PatchList().items[static_cast<std::size_t>(index)];
}

} // namespace

std::string ArchiveFileName(const std::string& url, bool keepExtension) {
    const auto slash = url.rfind('/');
    std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
    if (!keepExtension) {
        const auto dot = name.find('.');
        if (dot != std::string::npos)
            name.erase(dot);
    }
    return name;
}

void ApplyPatch(UiPort& ui, std::int32_t index) {
    const TPatchRec& row = Row(index);
    const std::string& appDir = Config().applicationDir;
    const std::string archive = appDir + ArchiveFileName(row.url, true);

    TZipArchiver& zip = ui.ZipArchiver();
    zip.FileName = Utf8ToWide(archive);
    zip.Open();
    {
        OpenArchiveGuard closeAfterwards(zip);
        zip.BaseDir = Utf8ToWide(appDir);
        // Entries that fail are settled inside the component by its failure dialog; what it lets out ends
        // the run with the patch unrecorded and the archive kept.
        zip.ExtractMatching(kEveryEntryMask, kEveryAttribute, u"");
    }
    RemoveFile(archive);

    if (!row.run.empty() && !RunProgram(appDir + row.run, true)) {
        // The patch itself is in place; say that its own step did not happen instead of passing it over.
        ui.AppendLogLine("- Cannot run: " + row.run);
    }
    RecordPatchApplied(row.id);
}

void UpdateRun(UiPort& ui, const std::string& patchListUrl) {
    bool anyApplied = false;
    ui.AppendLogLine("- Searching for updates...");

    const std::string appDir = Config().applicationDir;
    const std::string listFile = appDir + kPatchListFileName;
    if (!Download(ui, patchListUrl, listFile, false)) {
        ui.AppendLogLine("- Cannot download patch list");
        return;
    }
    // With a key in Config.ini only a list that this server's operator signed is read at all.
    if (Config().hasPatchListKey &&
        !IsPatchListSigned(ui, patchListUrl, listFile, appDir, Config().patchListKey)) {
        ui.AppendLogLine("- The patch list is not signed by this server");
        RemoveFile(listFile);
        return;
    }
    ParsePatchList(listFile);

    const TPatchList& table = PatchList();
    for (std::int32_t i = 0; i <= table.high; ++i) {
        const TPatchRec& row = Row(i);
        if (IsPatchApplied(row.id))
            continue;
        // Only the last row of a group is applied: a later one carries everything the earlier ones did.
        if (row.group != 0 && FindLaterInGroup(i) != -1)
            continue;

        ui.SetProgressVisible(true);
        ui.SetProgressPosition(0);
        ui.SetProgressMax(row.size);
        if (Download(ui, row.url, appDir + ArchiveFileName(row.url, true), true)) {
            ui.AppendLogLine("- Downloaded: " + ArchiveFileName(row.url, false));
            ApplyPatch(ui, i);
            anyApplied = true;
        } else {
            ui.AppendLogLine("- Cannot download: " + ArchiveFileName(row.url, false));
        }
        ui.SetProgressVisible(false);
    }

    ui.AppendLogLine(anyApplied ? "- Update process completed" : "- No updates has been found");
    RemoveFile(listFile);
}

} // namespace pc
