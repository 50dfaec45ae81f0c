// patch-client: the launcher program, wired to the real launcher core.
#include "window/launcher_core.h"
#include "window/qt/run_launcher.h"

int main(int argc, char** argv) {
    return pc::RunLauncher(pc::RealLauncherCore(), argc > 0 ? argv[0] : "patch-client");
}
