// A private scratch directory for one test, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

namespace pc::test {

class TempDir {
public:
    TempDir() {
        // A fresh name of random letters, made by the one call that fails when the name is taken.
        static std::mt19937_64 generator{std::random_device{}()};
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = "pc-test-";
            for (int i = 0; i < 8; ++i)
                name += static_cast<char>('a' + generator() % 26);
            std::error_code error;
            if (std::filesystem::create_directory(base / name, error)) {
                path_ = (base / name).string() + "/";
                return;
            }
        }
        throw std::runtime_error("cannot make a scratch directory");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    // The directory, ending with '/', like the application directory.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

    // Writes `bytes` exactly to `name` in the directory and returns the full path.
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string full = path_ + name;
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + full);
        return full;
    }

private:
    std::string path_;
};

// The bytes of a file, or throws when it cannot be read.
inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace pc::test
