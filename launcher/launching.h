// Starting outside programs: a patch's program, the game client and the web browser.
#pragma once

#include "framework/process.h"

#include <string>

namespace pc {

class UiPort;

// Starts the program in a process group of its own, with the launcher's environment and current directory
// and none of its open files. With `wait`, blocks until it has ended (no window messages meanwhile).
// Returns whether the process started.
bool RunProgram(const std::string& commandLine, bool wait);
// The same; a Windows program on a Linux system without Wine gets the player a notice naming it: "Windows
// programs need Wine, which is not installed [program]".
bool RunProgram(UiPort& ui, const std::string& commandLine, bool wait);

// The Start button: runs the client named by `Config()` and ends the launcher, or tells the user that it
// is missing.
void StartClient(UiPort& ui);
void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe);

// A link button: opens `url` in the default browser of `Config()`, or tells the user that the browser is
// missing.
void OpenLink(UiPort& ui, const std::string& url);
void OpenLink(UiPort& ui, const std::string& browserPath, const std::string& url);

} // namespace pc
