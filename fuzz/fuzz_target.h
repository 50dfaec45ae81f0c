// What every fuzz target shares: a check that stops the run with a message, a scratch directory for
// targets that need files, and the registration that makes one source serve two programs: a libFuzzer
// target (built with PATCH_FUZZER_ENTRY) and a case of the replay test that runs the committed corpora
// and regression inputs through the normal test suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace pc::fuzz {

using TargetFunction = int (*)(const std::uint8_t* data, std::size_t size);

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

inline std::map<std::string, TargetFunction>& Targets() {
    static std::map<std::string, TargetFunction> targets;
    return targets;
}

inline bool RegisterTarget(const char* name, TargetFunction function) {
    Targets()[name] = function;
    return true;
}

// PATCH_FUZZ_TARGET(name, function): `name` is the target's identifier, also the name of its corpus folder.

// One private directory per process, removed when the process ends normally.
class ScratchDirectory {
public:
    ScratchDirectory() {
        // Every input is written to a file: memory-backed /dev/shm keeps that from dominating the run.
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm"))
            base = "/dev/shm";
        std::string pattern = (base / "pc-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern + "/";
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline const std::string& ScratchDir() {
    static const ScratchDirectory dir;
    return dir.Path();
}

// Writes `bytes` to `path`, replacing it.
void WriteFile(const std::string& path, std::string_view bytes);

} // namespace pc::fuzz

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::pc::fuzz::Fail(#condition, __FILE__, __LINE__);                                                \
    } while (0)

#ifdef PATCH_FUZZER_ENTRY
#define PATCH_FUZZ_TARGET(name, function)                                                                    \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {                      \
        return function(data, size);                                                                         \
    }
#else
#define PATCH_FUZZ_TARGET(name, function)                                                                    \
    [[maybe_unused]] static const bool registered_##name = ::pc::fuzz::RegisterTarget(#name, function);
#endif
