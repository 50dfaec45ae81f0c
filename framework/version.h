// The version of the programs, as the build's project version gives it.
#pragma once

namespace pc {

// "MAJOR.MINOR", the same for patch-client and patchctl.
const char* ProgramVersion();

} // namespace pc
