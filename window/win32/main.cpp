// patch-client.exe: the launcher program, wired to the real launcher core.
#include "window/launcher_core.h"
#include "window/program_options.h"
#include "window/win32/run_launcher.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

// A window program has no console of its own: when its output is not redirected, the text goes to the
// console of the command prompt that started it, if any.
void PrintToParentConsole(const std::string& text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE* reopened = nullptr;
        if (freopen_s(&reopened, "CONOUT$", "w", stdout) != 0)
            return;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (const auto text = pc::LauncherInformationRequest(argc, argv)) {
        PrintToParentConsole(*text);
        return 0;
    }
    return pc::RunLauncher(pc::RealLauncherCore());
}
