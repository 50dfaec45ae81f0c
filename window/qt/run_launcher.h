// The program entry's work: the application, the one main window and the main loop.
#pragma once

#include "window/launcher_core.h"

namespace pc {

// Starts the application with nothing but the program name (the launcher takes no command-line options),
// creates the main window (which runs the start-up handler), runs the main loop until the application
// has been told to end, and returns the exit code 0. Without a display to show the window on it says so
// in one line on stderr, names the headless update, and returns 1.
int RunLauncher(TLauncherCore core, const char* programName);

} // namespace pc
