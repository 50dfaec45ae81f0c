// The only options the launcher answers: --help and --version, printed before any window is made, so
// that they work without a display. Everything else on the command line is ignored, as before.
#pragma once

#include <optional>
#include <string>

namespace pc {

// The text to print on stdout for the command line `argv` (program name first), when it asks for help
// or the version; nothing when the launcher should start.
std::optional<std::string> LauncherInformationRequest(int argc, const char* const* argv);

} // namespace pc
