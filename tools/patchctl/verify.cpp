// patchctl verify DIR and patchctl repair DIR: the installation in DIR checked against the client manifest
// that its server publishes, and its damaged or missing files healed from the client archive.
#include "framework/exceptions.h"
#include "framework/registry.h"
#include "launcher/archiver_settings.h"
#include "launcher/config.h"
#include "launcher/net/download.h"
#include "launcher/repair/game_files.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/console_ui.h"
#include "tools/patchctl/lint_fetch.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace pc::patchctl {
namespace {

constexpr int kAllWhole = 0;
constexpr int kNotWhole = 1;
// The list or the manifest cannot be had: nothing was checked.
constexpr int kNoManifest = 4;
// The installation and the server's snapshot are of different releases: nothing was checked.
constexpr int kRefused = 5;

// The bar's steps: fine enough for a smooth bar, whatever the sizes.
constexpr std::int32_t kProgressSteps = 1000;

int CheckInstallation(const Arguments& args, bool heal) {
    const char* command = heal ? "patchctl repair" : "patchctl verify";
    const std::string appDir = InstallationDirectory(args.Positionals()[0]);
    TakeSpeedLimit(args, appDir);

    TZipArchiver archiver;
    ApplyLauncherArchiverSettings(archiver);
    ConsoleUi ui(archiver);
    FormCreate(ui, appDir, SystemRegistry());
    if (!ui.Armed())
        return kNoConfiguration; // the start-up's notice is on stderr

    TGameFilesOptions options;
    options.heal = heal;
    // A verify writes nothing into the installation, which may be read-only.
    std::optional<ScratchDir> scratch;
    if (!heal)
        options.downloadDir = scratch.emplace().Path();
    bool healing = false;
    options.onProgress = [&](bool healingNow, std::int64_t done, std::int64_t total) {
        if (healingNow != healing || done == 0) {
            healing = healingNow;
            ui.SetProgressVisible(true);
            ui.SetProgressMax(kProgressSteps);
        }
        ui.SetProgressPosition(total <= 0 ? kProgressSteps
                                          : static_cast<std::int32_t>(done * kProgressSteps / total));
    };
    const TGameFilesResult result =
        CheckGameFiles(ui, appDir, Config().ListSource(), options, DefaultDownloadLimits());
    ui.SetProgressVisible(false);
    switch (result.stage) {
    case TGameFilesResult::TStage::gsNoManifest:
        std::fprintf(stderr, "%s: the patch list names no client manifest\n", command);
        return kNoManifest;
    case TGameFilesResult::TStage::gsUnavailable:
        std::fprintf(stderr, "%s: %s\n", command, result.failure.c_str());
        return kNoManifest;
    case TGameFilesResult::TStage::gsEnded:
        return kNotWhole;
    case TGameFilesResult::TStage::gsBehind:
        std::fprintf(stderr,
                     "%s: this installation lacks patches that the server's game files hold: update first "
                     "(patchctl update %s)\n",
                     command, args.Positionals()[0].c_str());
        return kRefused;
    case TGameFilesResult::TStage::gsAhead:
        std::fprintf(stderr,
                     "%s: the server's game files are older than this installation; nothing was changed\n",
                     command);
        return kRefused;
    case TGameFilesResult::TStage::gsChecked:
        break;
    }
    for (const TFileFinding& finding : result.findings)
        std::printf("%s: %s\n", finding.state == TFileState::fsMissing ? "missing" : "damaged",
                    finding.name.c_str());
    for (const std::string& name : result.repaired)
        std::printf("repaired: %s\n", name.c_str());
    for (const auto& [name, reason] : result.notRepaired)
        std::fprintf(stderr, "%s: %s cannot be repaired: %s\n", command, name.c_str(), reason.c_str());
    std::fflush(stdout);
    if (heal) {
        std::fprintf(stderr, "%s: %zu of %zu damaged or missing files repaired, %lld bytes fetched\n",
                     command, result.repaired.size(), result.findings.size(),
                     static_cast<long long>(result.bytesFetched));
        return result.notRepaired.empty() ? kAllWhole : kNotWhole;
    }
    return result.findings.empty() ? kAllWhole : kNotWhole;
}

} // namespace

int RunVerify(const Arguments& args) {
    return CheckInstallation(args, false);
}

int RunRepair(const Arguments& args) {
    return CheckInstallation(args, true);
}

} // namespace pc::patchctl
