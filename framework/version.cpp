#include "framework/version.h"

namespace pc {

const char* ProgramVersion() {
    return PATCH_PROGRAM_VERSION;
}

} // namespace pc
