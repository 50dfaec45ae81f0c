// patch-client: the launcher program, wired to the real launcher core.
#include "window/launcher_core.h"
#include "window/program_options.h"
#include "window/qt/run_launcher.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (const auto text = pc::LauncherInformationRequest(argc, argv)) {
        std::fwrite(text->data(), 1, text->size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    return pc::RunLauncher(pc::RealLauncherCore(), argc > 0 ? argv[0] : "patch-client");
}
