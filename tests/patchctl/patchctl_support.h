// What the patchctl tests share: running the tool, reading trees back, and files written with modes.
#pragma once

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <map>
#include <string>

namespace pc::test {

inline std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// A file's SHA-256 as the coreutils tool prints it: a peer's view, not the launcher's own.
inline std::string Sha256Sum(const std::string& path) {
    return RunProgram("sha256sum " + Quoted(path)).out.substr(0, 64);
}

inline ProgramResult Patchctl(const std::string& args, const std::string& input = "") {
    return RunProgram(Quoted(PATCHCTL_PATH) + " " + args, input);
}

// Every regular file under `root` by its relative name, with its permission bits and bytes; folders as
// their name with a trailing '/'.
struct TreeFile {
    unsigned mode = 0;
    std::string bytes;
    bool operator==(const TreeFile&) const = default;
};
inline std::map<std::string, TreeFile> ReadTreeFiles(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, TreeFile> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string name = entry.path().lexically_relative(root).generic_string();
        TreeFile file;
        file.mode = static_cast<unsigned>(entry.symlink_status().permissions()) & 0777;
        if (entry.is_directory())
            name += "/";
        else
            file.bytes = ReadFileBytes(entry.path().string());
        files[name] = file;
    }
    return files;
}

// Writes `bytes` to `root`/`name`, making its folders, with permission bits `mode`.
inline void WriteTreeFile(const std::string& root, const std::string& name, const std::string& bytes,
                          unsigned mode = 0644) {
    namespace fs = std::filesystem;
    const fs::path path = fs::path(root) / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    fs::permissions(path, static_cast<fs::perms>(mode));
}

} // namespace pc::test
