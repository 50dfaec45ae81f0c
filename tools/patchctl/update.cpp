// patchctl update DIR: the launcher's start-up and update run for the installation in DIR, headless.
#include "framework/exceptions.h"
#include "framework/registry.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/update_run.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/console_ui.h"
#include "tools/patchctl/dialog_policy.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

constexpr int kUsage = 2;
constexpr int kRunEnded = 1;
constexpr int kNoConfiguration = 3;
// The run went through, but not everything was applied: the list was refused, a row could not be
// downloaded, or entries were left out of an extraction.
constexpr int kNotAllApplied = 4;

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "patchctl update: %s\nusage: patchctl update DIR [--on-failure abort|ignore|retry-once]\n",
                 problem);
    return kUsage;
}

int Run(const std::vector<std::string>& args) {
    std::optional<std::string> dir;
    FailurePolicy policy = FailurePolicy::Abort;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--on-failure") {
            if (i + 1 >= args.size())
                return Usage("--on-failure needs a policy");
            const auto parsed = ParseFailurePolicy(args[++i]);
            if (!parsed)
                return Usage(("unknown failure policy '" + args[i] + "'").c_str());
            policy = *parsed;
        } else if (!dir && (args[i].empty() || args[i][0] != '-')) {
            dir = args[i];
        } else {
            return Usage(("unexpected argument '" + args[i] + "'").c_str());
        }
    }
    if (!dir)
        return Usage("no installation directory given");
    std::error_code error;
    if (!std::filesystem::is_directory(*dir, error))
        return Usage(("'" + *dir + "' is not a directory").c_str());

    // The installation directory is what the launcher's own directory is: absolute, ending with the
    // platform's separator.
    std::string appDir = std::filesystem::absolute(*dir).lexically_normal().string();
    constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
    if (appDir.empty() || (appDir.back() != '/' && appDir.back() != kSeparator))
        appDir += kSeparator;

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
        UpdateRun(ui, Config().patchListUrl);
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

} // namespace
} // namespace pc::patchctl

static const pc::patchctl::Registration reg("update", "update DIR [--on-failure abort|ignore|retry-once]",
                                            &pc::patchctl::Run);
