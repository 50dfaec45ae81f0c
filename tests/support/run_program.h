// Runs a command line through the shell with its standard input taken from a file, and collects its
// exit status, standard output and standard error.
#pragma once

#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace pc::test {

struct ProgramResult {
    int exitCode = -1; // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// `command` is passed to /bin/sh unchanged; `input` becomes its standard input.
inline ProgramResult RunProgram(const std::string& command, const std::string& input = "") {
    TempDir scratch;
    const std::string in = scratch.Write("stdin", input);
    const std::string line =
        command + " <'" + in + "' >'" + (scratch / "stdout") + "' 2>'" + (scratch / "stderr") + "'";
    const int status = std::system(line.c_str());
    ProgramResult result;
    if (status != -1 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = ReadFileBytes(scratch / "stdout");
    result.err = ReadFileBytes(scratch / "stderr");
    return result;
}

} // namespace pc::test
