// patchctl update DIR: the launcher's start-up and update run for the installation in DIR, headless.
#include "framework/exceptions.h"
#include "framework/registry.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/install/settings.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/update_run.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/console_ui.h"
#include "tools/patchctl/dialog_policy.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

constexpr int kRunEnded = 1;
// The run went through, but not everything was applied: the list was refused, a row could not be
// downloaded, or entries were left out of an extraction.
constexpr int kNotAllApplied = 4;

// A benchmark knob, never a player's setting: with PATCHCTL_FIXED_RETRY_PAUSES=1 every launcher retries at
// the same fixed pauses, which the release-day benchmark compares the spread pauses against.
constexpr const char* kFixedPausesVariable = "PATCHCTL_FIXED_RETRY_PAUSES";

} // namespace

void TakeSpeedLimit(const Arguments& args, const std::string& appDir) {
    std::int64_t rate = 0;
    if (const std::optional<std::string> given = args.Value("--limit-rate")) {
        const std::optional<std::int64_t> parsed = ParseRate(*given);
        if (!parsed)
            throw UsageError("not a rate: '" + *given + "' (a number of bytes per second, e.g. 2M or 500K)");
        rate = *parsed;
    } else {
        rate = StoredSpeedLimit(appDir);
    }
    DownloadSpeedLimit().store(rate);
}

int RunUpdate(const Arguments& args) {
    // The declaration admits only the policies' own words.
    const FailurePolicy policy = ParseFailurePolicy(args.Value("--on-failure").value_or("abort")).value();
    const std::string appDir = InstallationDirectory(args.Positionals()[0]);

    TakeSpeedLimit(args, appDir);
    if (const char* fixed = std::getenv(kFixedPausesVariable); fixed != nullptr && std::string(fixed) == "1")
        DefaultDeliverySettings().spreadPauses = false;

    TZipArchiver archiver;
    ApplyLauncherArchiverSettings(archiver);
    PolicyDialogs dialogs(policy, "patchctl update");
    dialogs.Attach(archiver);
    archiver.DialogProvider = &dialogs;
    ConsoleUi ui(archiver);

    FormCreate(ui, appDir, SystemRegistry());
    if (!ui.Armed())
        return kNoConfiguration; // the start-up's notice is on stderr
    try {
        UpdateRun(ui, appDir, Config().ListSource());
    } catch (const EAbort& abort) {
        ui.AppendLogLine(UpdateNotFinishedLine(abort));
        // The window says nothing more after an Abort answer, the player having asked for it; here the
        // operator still needs to know why the run ended.
        std::fputs(
            "patchctl update: the extraction was aborted; the patch is not recorded and the run ends\n",
            stderr);
        return kRunEnded;
    } catch (const std::exception& error) {
        // As the window's log after its error box; the error itself is printed where it is caught.
        ui.AppendLogLine(UpdateNotFinishedLine(error));
        throw;
    }
    // The run went through, but something it was asked for is not in the installation.
    const int leftOut = dialogs.EntriesLeftOut();
    if (leftOut > 0)
        std::fprintf(stderr, "patchctl update: %d %s left out of the extraction; %s recorded all the same\n",
                     leftOut, leftOut == 1 ? "entry was" : "entries were",
                     leftOut == 1 ? "its patch is" : "their patches are");
    return ui.ListRefused() || ui.DownloadFailures() > 0 || leftOut > 0 ? kNotAllApplied : 0;
}

} // namespace pc::patchctl
