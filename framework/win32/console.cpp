// The console on Windows: standard streams in binary mode (a "\n" stays one byte, as on Linux), a console
// switched to UTF-8 output that understands the erase sequence of the progress bar.
#include "framework/console.h"

#include "framework/win32/win32_support.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace pc {

void PrepareConsoleOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    ::SetConsoleOutputCP(CP_UTF8);
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE stream = ::GetStdHandle(which);
        DWORD mode = 0;
        if (stream != INVALID_HANDLE_VALUE && ::GetConsoleMode(stream, &mode))
            ::SetConsoleMode(stream, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

bool IsErrorStreamTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool IsOutputStreamTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

} // namespace pc
