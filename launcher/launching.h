// Starting outside programs: a patch's program, the game client and the web browser.
#pragma once

#include "framework/process.h"

#include <string>
#include <string_view>
#include <vector>

namespace pc {

class UiPort;

// Starts the program in a process group of its own, with the launcher's environment and current directory
// and none of its open files. With `wait`, blocks until it has ended (no window messages meanwhile).
// Returns whether the process started.
bool RunProgram(const std::string& commandLine, bool wait);
// The same; a Windows program on a Linux system without Wine gets the player a notice naming it: "Windows
// programs need Wine, which is not installed [program]".
bool RunProgram(UiPort& ui, const std::string& commandLine, bool wait);

// One way of reading a patch's program field: the program, relative to the installation, and the
// arguments that follow it.
struct TProgramReading {
    std::string program;
    std::string arguments;
};

// The readings of a program field in the order they are tried, as the system reads a command line: the
// part in double quotes when the field starts with one; otherwise each prefix that ends before a blank,
// the whole field last.
std::vector<TProgramReading> ProgramFieldReadings(std::string_view field);

// Whether a name relative to the installation stays inside it: not absolute (no leading separator, no
// drive), and no ".." part takes it above the installation. '/' and '\' both separate parts.
bool StaysInsideInstallation(std::string_view relative);

// Whether the launcher may refuse the field: a reading it could try leaves the installation.
bool ProgramFieldMayLeaveInstallation(std::string_view field);

// A patch's program: the first reading of `field` that names a file in `appDir` (the first reading when
// none does), started there with the installation as its current directory, and waited for. A reading
// tried on the way that leaves the installation refuses the field: nothing runs. Either separator in the
// program's name separates its parts. Returns whether the program started.
bool RunPatchProgram(UiPort& ui, const std::string& appDir, const std::string& field);

// The Start button: runs the client named by `Config()`, exactly that file even when the installation's
// path holds blanks, with the installation as its current directory, and ends the launcher; or tells the
// user that it is missing.
void StartClient(UiPort& ui);
void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe);

// A link button: opens `url` in the default browser of `Config()`, or tells the user that the browser is
// missing.
void OpenLink(UiPort& ui, const std::string& url);
void OpenLink(UiPort& ui, const std::string& browserPath, const std::string& url);

} // namespace pc
