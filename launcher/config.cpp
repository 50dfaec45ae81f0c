#include "launcher/config.h"

namespace pc {

LauncherConfig& Config() {
    static LauncherConfig config;
    return config;
}

} // namespace pc
