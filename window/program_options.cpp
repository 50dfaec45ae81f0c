#include "window/program_options.h"

#include "framework/version.h"

#include <string_view>

namespace pc {

std::optional<std::string> LauncherInformationRequest(int argc, const char* const* argv) {
    bool help = false, version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        help = help || arg == "--help";
        version = version || arg == "--version";
    }
    if (help)
        return "usage: patch-client [--help | --version]\n"
               "The game's launcher. Start it from the game's installation directory: it reads Config.ini\n"
               "there, brings the installation up to date from the server's patch list and starts the\n"
               "game. It takes no other options. Without a display, `patchctl update DIR` runs the same\n"
               "update on a terminal.\n";
    if (version)
        return std::string("patch-client ") + ProgramVersion() + "\n";
    return std::nullopt;
}

} // namespace pc
