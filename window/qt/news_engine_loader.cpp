#include "window/qt/news_engine.h"

#include <cstddef>
#include <string>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

namespace pc {

// The module's bytes, built into the program (generated from the module by the build).
extern const unsigned char kNewsEngineModule[];
extern const std::size_t kNewsEngineModuleSize;

namespace {

TWebEngineModule Load() {
    // Loaded from memory: the launcher stays one file, and nothing is written beside the game.
    const int fd = ::memfd_create("patch-client-news", MFD_CLOEXEC);
    if (fd < 0)
        return {};
    std::size_t written = 0;
    while (written < kNewsEngineModuleSize) {
        const ssize_t n = ::write(fd, kNewsEngineModule + written, kNewsEngineModuleSize - written);
        if (n <= 0) {
            ::close(fd);
            return {};
        }
        written += static_cast<std::size_t>(n);
    }
    void* module = ::dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW | RTLD_LOCAL);
    ::close(fd); // the mapping stays
    if (!module)
        return {}; // no web engine on this system: the text browser shows the news
    TWebEngineModule engine;
    engine.Create = reinterpret_cast<TNewsEngineCreate>(::dlsym(module, kNewsEngineCreateName));
    engine.Load = reinterpret_cast<TNewsEngineLoad>(::dlsym(module, kNewsEngineLoadName));
    if (!engine.Create || !engine.Load)
        return {};
    return engine; // loaded for the rest of the process: Qt keeps the engine's state until the end
}

} // namespace

TWebEngineModule LoadWebEngineModule() {
    static const TWebEngineModule engine = Load();
    return engine;
}

} // namespace pc
