// Parted deltas with small parts and regions, so that a few MiB take many parts: content that moved far,
// inserts, cuts and rewrites must each find their region of the old file and come back identical.
#include "archive/zip_writer.h"
#include "framework/code_pages.h"
#include "launcher/apply/delta_parts.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/archiver_settings.h"
#include "tools/patchctl/delta_parts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBlock = 4096;

Bytes Random(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

void Save(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Decoded {
    bool finished = false;
    Bytes bytes;
};

Decoded Decode(const Bytes& old, std::size_t newSize, const std::string& delta, std::size_t piece) {
    Decoded result;
    pc::TPartedDeltaDecoder decoder(
        static_cast<std::int64_t>(old.size()), static_cast<std::int64_t>(newSize),
        [&](std::int64_t offset, std::size_t length, std::uint8_t* into) {
            std::memcpy(into, old.data() + offset, length);
            return true;
        },
        [&](const std::uint8_t* data, std::size_t size) {
            result.bytes.insert(result.bytes.end(), data, data + size);
            return true;
        });
    for (std::size_t at = 0; at < delta.size(); at += piece)
        if (!decoder.Feed(delta.data() + at, std::min(piece, delta.size() - at)))
            break;
    result.finished = decoder.Finished();
    return result;
}

struct Shape {
    const char* name;
    // Turns the old file into the new one; returns the bytes of new content it put in.
    std::size_t (*edit)(Bytes& bytes, std::mt19937& random);
};

const Shape kShapes[] = {
    {"moved further than a region reaches",
     [](Bytes& bytes, std::mt19937& random) {
         const Bytes head = Random(2u << 20, random);
         bytes.insert(bytes.begin(), head.begin(), head.end());
         return head.size();
     }},
    {"blocks inserted",
     [](Bytes& bytes, std::mt19937& random) {
         for (int i = 0; i < 5; ++i) {
             const Bytes block = Random(kBlock, random);
             bytes.insert(bytes.begin() +
                              static_cast<std::ptrdiff_t>(random() % (bytes.size() / kBlock) * kBlock),
                          block.begin(), block.end());
         }
         return 5 * kBlock;
     }},
    {"blocks cut",
     [](Bytes& bytes, std::mt19937& random) {
         for (int i = 0; i < 5; ++i) {
             const auto at =
                 bytes.begin() + static_cast<std::ptrdiff_t>(random() % (bytes.size() / kBlock - 1) * kBlock);
             bytes.erase(at, at + kBlock);
         }
         return std::size_t{0};
     }},
    {"blocks rewritten",
     [](Bytes& bytes, std::mt19937& random) {
         const std::size_t blocks = bytes.size() / kBlock;
         for (std::size_t i = 0; i < blocks / 50; ++i) {
             const Bytes block = Random(kBlock, random);
             std::copy(block.begin(), block.end(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(random() % blocks * kBlock));
         }
         return blocks / 50 * kBlock;
     }},
};

TEST(PartedDelta, EachShapeComesBackIdenticalAndCostsAboutItsNewContent) {
    const fs::path folder =
        fs::temp_directory_path() /
        ("parted-delta-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
         std::to_string(std::random_device{}()));
    fs::create_directories(folder);
    pc::TPartOptions options;
    options.partBytes = 256 << 10;
    options.regionBytes = 1 << 20;
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        std::mt19937 random(7);
        const Bytes old = Random(4u << 20, random);
        Bytes next = old;
        const std::size_t fresh = shape.edit(next, random);
        Save(folder / "old", old);
        Save(folder / "new", next);
        std::string delta;
        const pc::TPartedDelta made = pc::EncodePartedDelta(
            folder / "old", folder / "new",
            [&](const char* data, std::size_t size) { delta.append(data, size); }, options);
        EXPECT_EQ(made.bytes, delta.size());
        EXPECT_EQ(made.newSize, static_cast<std::int64_t>(next.size()));
        EXPECT_GE(made.parts, 16);
        // A part that missed its region would cost it whole: a quarter of a MiB each.
        EXPECT_LT(delta.size(), fresh + (64u << 10));
        // Pieces that split heads and frames anywhere.
        const Decoded back = Decode(old, next.size(), delta, 1000);
        EXPECT_TRUE(back.finished);
        EXPECT_TRUE(back.bytes == next);

        // Cut short, or followed by anything, it is not the delta.
        EXPECT_FALSE(Decode(old, next.size(), delta.substr(0, delta.size() - 1), 1 << 16).finished);
        EXPECT_FALSE(Decode(old, next.size(), delta + '\0', 1 << 16).finished);
    }
    fs::remove_all(folder);
}

// A patch whose delta is parted, applied by the launcher's extraction: over the file it expects the parts
// decode to the new file; over a file changed by one bit that file comes whole from the companion.
TEST(PartedDelta, APatchAppliesItsPartsOrFallsBackToTheWholeFile) {
    const fs::path folder =
        fs::temp_directory_path() / ("parted-apply-" + std::to_string(std::random_device{}()));
    const auto path = [&](const std::string& name) { return (folder / "patch" / name).string(); };
    std::mt19937 random(11);
    const Bytes old = Random(1u << 20, random);
    Bytes next = Random(300u << 10, random); // the old content shifted by more than a region reaches
    next.insert(next.end(), old.begin(), old.end());
    fs::create_directories(folder / "patch");
    Save(path("old"), old);
    Save(path("new"), next);
    std::string data;
    const pc::TPartedDelta made = pc::EncodePartedDelta(
        path("old"), path("new"), [&](const char* bytes, std::size_t size) { data.append(bytes, size); },
        {64 << 10, 256 << 10, pc::kPartedDeltaLevel, 0, nullptr});
    ASSERT_GE(made.parts, 16);
    std::ofstream(path("1.parts"), std::ios::binary) << data;
    pc::TDeltaManifest manifest{"full.zip",
                                {{std::string("1") + pc::kPartedEntrySuffix, made.oldSize, made.oldSha256,
                                  made.newSize, made.newSha256, 0644, "data/big.dat"}},
                                {}};
    std::ofstream(path("manifest"), std::ios::binary) << pc::FormatDeltaManifest(manifest);
    pc::WriteZipArchive(path("p.zip"),
                        {{pc::kDeltaManifestEntry, path("manifest"), 0100644, 0},
                         {std::string(pc::kDeltaFolder) + "1.parts", path("1.parts"), 0100644, 0}});
    pc::WriteZipArchive(path("full.zip"), {{"data/big.dat", path("new"), 0100644, 0}});

    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "a changed file" : "the file the delta expects");
        Bytes installed = old;
        installed[old.size() / 2] ^= changed ? 1 : 0;
        fs::remove_all(folder / "game");
        fs::create_directories(folder / "game/data");
        Save(folder / "game/data/big.dat", installed);
        std::vector<std::string> log;
        pc::TZipArchiver zip;
        pc::ApplyLauncherArchiverSettings(zip);
        zip.FileName = pc::SystemToWide(path("p.zip"));
        zip.Open();
        zip.BaseDir = pc::SystemToWide((folder / "game").string() + "/");
        pc::ExtractPatch(
            zip, [&](const std::string& companion) { return pc::OpenLocalCompanion(path(companion)); },
            [&](const std::string& line) { log.push_back(line); });
        zip.Close();
        std::ifstream in(folder / "game/data/big.dat", std::ios::binary);
        EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == next);
        EXPECT_EQ(std::count(log.begin(), log.end(), "- Fetching in full: data/big.dat"), changed ? 1 : 0);
    }
    fs::remove_all(folder);
}

TEST(PartedDelta, AHeadAskingForMoreThanAnyCoderUsesIsRefused) {
    std::string delta(pc::kPartedMagic, sizeof pc::kPartedMagic);
    std::string head(pc::kPartHeadBytes, '\0');
    const auto huge = static_cast<std::uint64_t>(pc::kMostRegionBytes + 1);
    for (int i = 0; i < 8; ++i)
        head[8 + i] = static_cast<char>(huge >> (8 * i));
    head[16] = 1; // a part of one byte
    head[24] = 1; // a frame of one byte
    bool read = false;
    pc::TPartedDeltaDecoder decoder(
        static_cast<std::int64_t>(huge), 1,
        [&](std::int64_t, std::size_t, std::uint8_t*) { return read = true; },
        [](const std::uint8_t*, std::size_t) { return true; });
    EXPECT_FALSE(decoder.Feed((delta + head).data(), delta.size() + head.size()));
    EXPECT_FALSE(read);
}

} // namespace
