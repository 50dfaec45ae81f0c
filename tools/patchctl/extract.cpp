// patchctl extract: unpacks a patch archive exactly as the launcher would, with the launcher's component
// settings, answering the component's dialogs from command-line policy instead of asking.
#include "archive/code_pages.h"
#include "archive/dialog_provider.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
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

const char* const kUsage = "extract ARCHIVE DESTDIR [--on-failure abort|ignore|retry-once] "
                           "[--overwrite always|never|newer|older] [--password TEXT]";

int UsageError(const std::string& what) {
    std::fprintf(stderr, "patchctl extract: %s\nusage: patchctl %s\n", what.c_str(), kUsage);
    return kNotOpened;
}

int Run(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    FailurePolicy policy = FailurePolicy::Abort;
    std::optional<TZAOverwriteMode> overwrite;
    std::optional<std::string> password;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--on-failure" || arg == "--overwrite" || arg == "--password") {
            if (i + 1 >= args.size())
                return UsageError(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--password") {
                password = value;
            } else if (arg == "--on-failure") {
                const auto parsed = ParseFailurePolicy(value);
                if (!parsed)
                    return UsageError("unknown failure policy: " + value);
                policy = *parsed;
            } else {
                if (value == "always")
                    overwrite = TZAOverwriteMode::omAlways;
                else if (value == "never")
                    overwrite = TZAOverwriteMode::omNever;
                else if (value == "newer")
                    overwrite = TZAOverwriteMode::omIfNewer;
                else if (value == "older")
                    overwrite = TZAOverwriteMode::omIfOlder;
                else
                    return UsageError("unknown overwrite mode: " + value);
            }
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            return UsageError("unknown option: " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        return UsageError("an archive and a destination directory are needed");

    TZipArchiver zip;
    ApplyLauncherArchiverSettings(zip);
    if (overwrite)
        zip.Options.OverwriteMode = *overwrite;
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
    zip.ExtractMatching(u"*.*", kZAEveryAttribute, u"");

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

} // namespace
} // namespace pc::patchctl

static const pc::patchctl::Registration reg("extract", pc::patchctl::kUsage, &pc::patchctl::Run);
