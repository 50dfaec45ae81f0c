// patch-client.exe: the launcher program, wired to the real launcher core.
#include "window/launcher_core.h"
#include "window/win32/run_launcher.h"

int main() {
    return pc::RunLauncher(pc::RealLauncherCore());
}
