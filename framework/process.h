// Starting other programs: the platform's process service, and the Windows rules for taking a command
// line apart, which the Linux edition follows where Windows would do the splitting itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pc {

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
// The arguments part of a command line alone, by the same rules.
std::vector<std::string> SplitArguments(std::string_view text);

enum class TStartResult {
    srStarted,
    srFailed,
    srNeedsWine, // a Windows program on a system without Wine (Linux only)
};

// Starts the program that `commandLine` names, in a process group of its own, with this process's
// environment and current directory and none of its open files or handles. With `wait`, blocks until it
// has ended. On Linux a Windows program (a file that begins with "MZ") is started through the `wine`
// (or `wine64`) that PATH names.
TStartResult StartProcess(const std::string& commandLine, bool wait);

// Starts exactly the program file `program` (a full path, taken whole even when it holds blanks: it is
// never split, searched for or shortened to a prefix) with `arguments` (split as above), with `directory`
// as its current directory; otherwise as StartProcess. On Windows the command line is the program's path
// in double quotes, then a blank and the arguments when there are any; a path holding a double quote
// cannot be written so and fails.
TStartResult StartProgram(const std::string& program, const std::string& arguments,
                          const std::string& directory, bool wait);

} // namespace pc
