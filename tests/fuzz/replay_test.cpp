// Replays fuzz/corpus/<target>/ and fuzz/regressions/<target>/ through each fuzz target. A target stops
// the process on a failed check, so a regression shows up as this test crashing with the check's text.
#include "fuzz/fuzz_target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& folder, const std::string& target) {
    std::vector<fs::path> inputs;
    const fs::path dir = fs::path(PATCH_SOURCE_DIR) / "fuzz" / folder / target;
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
    return inputs;
}

std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzReplay, EveryTargetHasSeeds) {
    ASSERT_FALSE(pc::fuzz::Targets().empty());
    for (const auto& [name, function] : pc::fuzz::Targets())
        EXPECT_FALSE(InputsOf("corpus", name).empty()) << "no seeds for " << name;
}

TEST(FuzzReplay, SeedsAndRegressionsPass) {
    for (const auto& [name, function] : pc::fuzz::Targets()) {
        for (const char* folder : {"corpus", "regressions"}) {
            for (const fs::path& input : InputsOf(folder, name)) {
                SCOPED_TRACE(input.string());
                const std::string bytes = Bytes(input);
                EXPECT_EQ(function(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
            }
        }
    }
}

} // namespace
