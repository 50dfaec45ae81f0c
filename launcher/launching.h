// Starting outside programs: a patch's program, the game client and the web browser.
#pragma once

#include <string>
#include <vector>

namespace pc {

class UiPort;

// A command line taken apart the way the original platform does it: the program, then its arguments.
struct TCommandLine {
    std::string program;
    std::vector<std::string> arguments;
};

// Splits by the Windows rules. The program is the text up to the next double quote when the line starts
// with one; otherwise, when an unquoted first part holds blanks, the shortest blank-separated prefix that
// `isFile` accepts (the first blank-free token when none does). Arguments are separated by blanks and
// tabs; double quotes group words; backslashes are literal except before a double quote, where 2n
// backslashes give n and the quote groups, and 2n+1 give n and a literal quote; "" inside a quoted part
// is a literal quote.
TCommandLine SplitCommandLine(const std::string& commandLine, bool (*isFile)(const std::string&));
TCommandLine SplitCommandLine(const std::string& commandLine); // prefixes tested with IsExistingFile

// Starts the program in a process group of its own, with the launcher's environment and current directory
// and none of its open files. With `wait`, blocks until it has ended (no window messages meanwhile).
// Returns whether the process started.
bool RunProgram(const std::string& commandLine, bool wait);

// The Start button: runs the client named by `Config()` and ends the launcher, or tells the user that it
// is missing.
void StartClient(UiPort& ui);
void StartClient(UiPort& ui, const std::string& appDir, const std::string& clientExe);

// A link button: opens `url` in the default browser of `Config()`, or tells the user that the browser is
// missing.
void OpenLink(UiPort& ui, const std::string& url);
void OpenLink(UiPort& ui, const std::string& browserPath, const std::string& url);

} // namespace pc
