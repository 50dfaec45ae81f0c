// The generated test archives: written once per test program by zipgen.py into a scratch directory (by
// the build, for programs that run under Wine).
#pragma once

#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace pc::test {

inline const std::string& FixtureDir() {
#ifdef PATCH_FIXTURE_DIR
    // Cross-built programs cannot run the generator themselves; the build ran it for them. Wine shows the
    // host's file system as drive Z:.
    static const std::string prepared = std::string("Z:") + PATCH_FIXTURE_DIR + "/";
    return prepared;
#endif
    static const std::unique_ptr<TempDir> dir = [] {
        auto made = std::make_unique<TempDir>();
        const std::string command =
            "python3 '" PATCH_SOURCE_DIR "/tests/archive/zipgen.py' '" + made->Path() + "fixtures'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("zipgen.py failed");
        return made;
    }();
    static const std::string path = dir->Path() + "fixtures/";
    return path;
}

inline std::string Fixture(const std::string& name) {
    return FixtureDir() + name;
}

} // namespace pc::test
