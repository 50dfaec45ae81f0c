// patchctl extract: unpacks a patch archive exactly as the launcher would, with the launcher's component
// settings, answering the component's dialogs from command-line policy instead of asking.
#include "archive/code_pages.h"
#include "archive/dialog_provider.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/archiver_settings.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/dialog_policy.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

constexpr int kAllWritten = 0;
constexpr int kSomeFailed = 1;
constexpr int kNotOpened = 2;

TZAOverwriteMode OverwriteModeOf(const std::string& word) {
    if (word == "never")
        return TZAOverwriteMode::omNever;
    if (word == "newer")
        return TZAOverwriteMode::omIfNewer;
    if (word == "older")
        return TZAOverwriteMode::omIfOlder;
    return TZAOverwriteMode::omAlways;
}

} // namespace

int RunExtract(const Arguments& args) {
    const std::vector<std::string>& positional = args.Positionals();
    // The declaration admits only the policies' and modes' own words.
    const FailurePolicy policy = ParseFailurePolicy(args.Value("--on-failure").value_or("abort")).value();
    const std::optional<std::string> overwrite = args.Value("--overwrite");
    const std::optional<std::string> password = args.Value("--password");

    TZipArchiver zip;
    ApplyLauncherArchiverSettings(zip);
    if (overwrite)
        zip.Options.OverwriteMode = OverwriteModeOf(*overwrite);
    if (password)
        zip.Password = *password;
    PolicyDialogs dialogs(policy, "patchctl extract");
    dialogs.Attach(zip);
    zip.DialogProvider = &dialogs;

    // An entry counts as written when its run ends without a failure, a skipped password or a full disk.
    // The run's cancel flag arrives as the progress event's Cancel and is left as it is.
    int written = 0;
    zip.OnFileProgress = [&](TZABaseArchiver&, const std::u16string&, double, TZAProcessOperation,
                             TZAProgressPhase phase, bool& cancel) {
        if (phase == TZAProgressPhase::ppEnd && !cancel && !dialogs.EntrySkipped())
            ++written;
    };
    bool writeFailed = false;
    zip.OnDiskFull = [&](TZABaseArchiver&, std::int32_t, const std::u16string&, bool& cancel) {
        writeFailed = true;
        cancel = true;
    };

    zip.FileName = SystemToWide(positional[0]);
    try {
        // Read only: a missing archive is an error here, never a new empty one.
        zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", WithClosingPeriod(e.Message()).c_str());
        return kNotOpened;
    }
    zip.BaseDir = SystemToWide(positional[1]);
    // A delta patch's files whose installed copy is not the one its delta expects come whole from the
    // companion archive beside ARCHIVE, as the launcher takes them from the server.
    const std::string folder = PathPart(positional[0]);
    ExtractPatch(
        zip, [&](const std::string& companion) { return OpenLocalCompanion(folder + companion); },
        [](const std::string& line) { std::printf("%s\n", line.c_str()); });

    int selected = 0;
    for (std::int32_t i = 0; i < zip.DirManager()->Items.Count(); ++i)
        if (zip.DirManager()->Items.Item(i).Selected)
            ++selected;
    zip.Close();
    // The component tells a full disk or quota from other failed writes.
    if (zip.LastRunOutcome() == TZARunOutcome::roDiskFull)
        std::fprintf(stderr, "patchctl extract: the disk is full; extraction stopped\n");
    else if (writeFailed)
        std::fprintf(stderr, "patchctl extract: a file could not be written; extraction stopped\n");
    return written == selected ? kAllWritten : kSomeFailed;
}

} // namespace pc::patchctl
