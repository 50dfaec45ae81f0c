// The delta manifest as written and read back, the manifests a launcher refuses, and deltas made and decoded
// by the same libzstd settings the launcher uses (on the Windows edition: the one built from source).
#include "launcher/apply/delta_patch.h"
#include "tools/patchctl/delta_encode.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const std::string kShaA(64, 'a');
const std::string kShaB(64, 'b');

TEST(DeltaManifest, WrittenAndReadBackAlike) {
    pc::TDeltaManifest manifest;
    manifest.companion = "p0042-full.zip";
    manifest.deltas.push_back({"1.zst", 3000000, kShaA, 3005000, kShaB, 0644, "data/pack one.dat"});
    manifest.deltas.push_back({"2.zst", 0, kShaB, 17, kShaA, 0755, "bin/game"});
    manifest.removals = {"old readme.txt", "olddir/sub/f"};
    const std::string text = pc::FormatDeltaManifest(manifest);
    EXPECT_EQ(text, "//delta-patch 1\n"
                    "//companion p0042-full.zip\n"
                    "delta 1.zst 3000000 " +
                        kShaA + " 3005000 " + kShaB +
                        " 0644 data/pack one.dat\n"
                        "delta 2.zst 0 " +
                        kShaB + " 17 " + kShaA +
                        " 0755 bin/game\n"
                        "remove old readme.txt\n"
                        "remove olddir/sub/f\n");
    const pc::TDeltaManifest read = pc::ParseDeltaManifest(text);
    EXPECT_EQ(read.companion, manifest.companion);
    ASSERT_EQ(read.deltas.size(), 2u);
    EXPECT_EQ(read.deltas[0].name, "data/pack one.dat");
    EXPECT_EQ(read.deltas[0].oldSize, 3000000);
    EXPECT_EQ(read.deltas[0].newSize, 3005000);
    EXPECT_EQ(read.deltas[1].mode, 0755u);
    EXPECT_EQ(read.deltas[1].entry, "2.zst");
    EXPECT_EQ(read.removals, manifest.removals);
    // Removals alone need no companion.
    EXPECT_EQ(pc::ParseDeltaManifest("//delta-patch 1\nremove a.txt\n").removals,
              std::vector<std::string>{"a.txt"});
}

TEST(DeltaManifest, RefusesWhatItCannotTrust) {
    const std::string head = "//delta-patch 1\n//companion p-full.zip\n";
    const std::string delta = "delta 1.zst 10 " + kShaA + " 12 " + kShaB + " 0644 ";
    struct Case {
        std::string text, message;
    };
    const std::vector<Case> cases = {
        {"", "The patch's delta manifest is damaged: it is empty"},
        {"//delta-patch 2\n",
         "The patch's delta manifest is damaged: line 1 has a version this launcher does "
         "not know"},
        {"remove a\n", "The patch's delta manifest is damaged: line 1 is not the manifest's header"},
        {head + delta + "../outside.txt\n", "The patch's delta manifest is damaged: line 3 names a file "
                                            "outside the installation or in the patch's own folder"},
        {head + "remove /etc/passwd\n", "The patch's delta manifest is damaged: line 3 names a file outside "
                                        "the installation or in the patch's own folder"},
        {head + "remove C:evil\n", "The patch's delta manifest is damaged: line 3 names a file outside the "
                                   "installation or in the patch's own folder"},
        {head + "remove a//b\n", "The patch's delta manifest is damaged: line 3 names a file outside the "
                                 "installation or in the patch's own folder"},
        {head + "remove TQM_DELTA\\manifest\n", "The patch's delta manifest is damaged: line 3 names a file "
                                                "outside the installation or in the patch's own folder"},
        {head + delta + "a.txt\nremove A.TXT\n",
         "The patch's delta manifest is damaged: line 4 names a file listed before"},
        {head + delta + "a.txt\n" + delta + "b.txt\n",
         "The patch's delta manifest is damaged: line 4 names a delta's data listed before"},
        {head + "delta 1.zst 10 " + kShaA + " 12 " + kShaB.substr(1) + "B 0644 a\n",
         "The patch's delta manifest is damaged: line 3 is not a delta line that fits"},
        {head + "delta 1.zst -1 " + kShaA + " 12 " + kShaB + " 0644 a\n",
         "The patch's delta manifest is damaged: line 3 is not a delta line that fits"},
        {head + "delta 1.zst 10 " + kShaA + " 12 " + kShaB + " 4755 a\n",
         "The patch's delta manifest is damaged: line 3 is not a delta line that fits"},
        {head + "delta ../1 10 " + kShaA + " 12 " + kShaB + " 0644 a\n",
         "The patch's delta manifest is damaged: line 3 is not a delta line that fits"},
        {head + "delta 1.zst 10 " + kShaA + " 12 " + kShaB + " 0644\n",
         "The patch's delta manifest is damaged: line 3 is not a delta line that fits"},
        {"//delta-patch 1\r\nremove a\n", "The patch's delta manifest is damaged: line 1 holds a control "
                                          "character"},
        {"//delta-patch 1\n" + delta + "a\n", "The patch's delta manifest is damaged: it names no companion "
                                              "archive"},
        {"//delta-patch 1\n//companion ../p.zip\n", "The patch's delta manifest is damaged: line 2 is not a "
                                                    "companion line that fits"},
        {head + "rename a b\n",
         "The patch's delta manifest is damaged: line 3 is not a line the manifest has"},
    };
    for (const Case& c : cases) {
        try {
            pc::ParseDeltaManifest(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const pc::EDeltaError& e) {
            EXPECT_EQ(e.Message(), c.message) << c.text;
        }
    }
}

std::vector<std::uint8_t> RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

struct Decoded {
    bool fed = false, finished = false;
    std::vector<std::uint8_t> bytes;
};

Decoded Decode(const std::vector<std::uint8_t>& old, const std::string& delta, std::int64_t newSize,
               std::size_t piece = 4096) {
    Decoded result;
    pc::TDeltaDecoder decoder(old.data(), old.size(), newSize,
                              [&](const std::uint8_t* data, std::size_t size) {
                                  result.bytes.insert(result.bytes.end(), data, data + size);
                                  return true;
                              });
    result.fed = true;
    for (std::size_t at = 0; at < delta.size() && result.fed; at += piece)
        result.fed = decoder.Feed(delta.data() + at, std::min(piece, delta.size() - at));
    result.finished = decoder.Finished();
    return result;
}

TEST(DeltaCodec, ADeltaOfRandomDataWithEditsIsSmallAndDecodesExactly) {
    const std::vector<std::uint8_t> old = RandomBytes(1u << 20, 1);
    std::vector<std::uint8_t> next = old;
    const std::vector<std::uint8_t> inserted = RandomBytes(3000, 2);
    next.insert(next.begin() + 5000, inserted.begin(), inserted.end());
    next.erase(next.begin() + 600000, next.begin() + 602000);
    for (std::size_t at = 100000; at < 900000; at += 100000)
        next[at] ^= 0x5A;
    const std::string delta = pc::EncodeDelta(old.data(), old.size(), next.data(), next.size(), 19, 2);
    // Random data does not compress: only the edits may cost.
    EXPECT_LT(delta.size(), 8000u);
    // The same bytes whatever the number of threads.
    EXPECT_EQ(delta, pc::EncodeDelta(old.data(), old.size(), next.data(), next.size(), 19, 1));
    for (std::size_t piece : {std::size_t{1}, std::size_t{4096}, delta.size()}) {
        const Decoded decoded = Decode(old, delta, static_cast<std::int64_t>(next.size()), piece);
        EXPECT_TRUE(decoded.fed && decoded.finished) << piece;
        EXPECT_TRUE(decoded.bytes == next) << piece;
    }
    // An empty old file, an empty new one.
    const std::vector<std::uint8_t> none;
    const std::string fromNothing = pc::EncodeDelta(none.data(), 0, next.data(), next.size());
    EXPECT_TRUE(Decode(none, fromNothing, static_cast<std::int64_t>(next.size())).bytes == next);
    const Decoded toNothing = Decode(old, pc::EncodeDelta(old.data(), old.size(), none.data(), 0), 0);
    EXPECT_TRUE(toNothing.finished && toNothing.bytes.empty());
}

TEST(DeltaCodec, DamagedDeltasAreToldApart) {
    const std::vector<std::uint8_t> old = RandomBytes(200000, 3);
    std::vector<std::uint8_t> next = old;
    next[1000] ^= 1;
    const std::string delta = pc::EncodeDelta(old.data(), old.size(), next.data(), next.size());
    const auto size = static_cast<std::int64_t>(next.size());

    const Decoded cut = Decode(old, delta.substr(0, delta.size() - 3), size);
    EXPECT_FALSE(cut.finished);
    const Decoded trailing = Decode(old, delta + "x", size);
    EXPECT_FALSE(trailing.fed);
    EXPECT_FALSE(trailing.finished);
    const Decoded garbage = Decode(old, "not a zstd frame at all", size);
    EXPECT_FALSE(garbage.fed);
    // A frame whose window reaches past both files asks for memory no delta of them needs.
    const std::vector<std::uint8_t> large = RandomBytes(4u << 20, 4);
    const std::vector<std::uint8_t> small(large.begin(), large.begin() + 1000);
    const std::string wide = pc::EncodeDelta(large.data(), large.size(), large.data(), large.size());
    EXPECT_FALSE(Decode(small, wide, 1000).fed);
}

} // namespace
