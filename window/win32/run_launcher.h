// The program entry's work on Win32: COM, the application, the one main window and the main loop.
#pragma once

#include "window/launcher_core.h"

namespace pc {

// Creates the main window (which runs the start-up handler), runs the main loop until the application
// has been told to end, and returns the exit code 0.
int RunLauncher(TLauncherCore core);

} // namespace pc
