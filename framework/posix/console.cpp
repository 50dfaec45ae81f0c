// POSIX streams already carry bytes unchanged; a terminal is what isatty says it is.
#include "framework/console.h"

#include <unistd.h>

namespace pc {

void PrepareConsoleOutput() {}

bool IsErrorStreamTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

bool IsOutputStreamTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

} // namespace pc
