// The console of a command-line program: whether the error stream is a terminal (a progress bar is drawn
// only there) and text output that gives the same bytes on every platform.
#pragma once

namespace pc {

// Makes standard output and error take UTF-8 text byte for byte: no line-end translation, and a console
// that shows UTF-8 and understands the terminal's erase sequence.
void PrepareConsoleOutput();
bool IsErrorStreamTerminal();
// Whether standard output is a terminal, where a line that was written can still be written over.
bool IsOutputStreamTerminal();

} // namespace pc
