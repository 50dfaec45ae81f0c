// Delta patches on the road, the same for both editions: made by the operator's patchctl pack --delta, served
// by nginx with their companion beside them, applied by each edition's patchctl update. Each edition's
// suite instantiates them with the update scenarios.
#include "tests/archive/zip_builder.h"
#include "tests/support/file_limit.h"
#include "tests/support/update_scenarios.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::BytesSent;
using pc::test::LogLinesFor;
using pc::test::NoiseBytes;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::StatusOf;
using pc::test::TempDir;
using pc::test::UpdateScenario;

using Tree = std::map<std::string, std::string>; // name -> bytes

void WriteTree(const std::string& root, const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
        const fs::path path = fs::path(root) / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
}

// Three versions of a game: a packed data file whose blocks are rewritten, a second one that only grows, a
// program with a few bytes changed, text that changes, files that come and go.
struct Versions {
    Tree v1, v2, v3;
    Versions() {
        std::string pack = NoiseBytes(1u << 20, 1);
        const std::string grows = NoiseBytes(1u << 20, 2);
        std::string program = NoiseBytes(300000, 3);
        v1 = {{"data/pack.dat", pack},
              {"data/grows.dat", grows},
              {"bin/game.exe", program},
              {"readme.txt", "version 1\n"},
              {"old/notes.txt", "gone in version 2\n"}};
        for (std::size_t at = 10000; at < pack.size(); at += 50000)
            pack.replace(at, 1000, NoiseBytes(1000, static_cast<unsigned>(at)));
        pack.insert(500000, NoiseBytes(4000, 4));
        program.replace(100000, 16, "version 2 build ");
        v2 = {{"data/pack.dat", pack},
              {"data/grows.dat", grows + NoiseBytes(50000, 5)},
              {"bin/game.exe", program},
              {"readme.txt", "version 2\n"},
              {"added.txt", "new in version 2\n"}};
        pack.erase(200000, 3000);
        program.replace(200000, 16, "version 3 build ");
        v3 = v2;
        v3["data/pack.dat"] = pack;
        v3["bin/game.exe"] = program;
        v3["readme.txt"] = "version 3\n";
    }
};

// Packs `from` into `to` with the operator's patchctl as the patch `name` in `patches`, with its companion
// beside it; returns the patch's SHA-256.
std::string PackDelta(const std::string& operatorTool, const fs::path& patches, const Tree& from,
                      const Tree& to, const std::string& name, const TempDir& work) {
    const std::string oldRoot = work / (name + ".old"), newRoot = work / (name + ".new");
    WriteTree(oldRoot, from);
    WriteTree(newRoot, to);
    const std::string out = (patches / name).string();
    const ProgramResult packed = pc::test::RunProgram("'" + operatorTool + "' pack --delta '" + oldRoot +
                                                      "' '" + newRoot + "' '" + out + "'");
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    return pc::test::RunProgram("sha256sum '" + out + "'").out.substr(0, 64);
}

long long BytesServedFor(const std::string& log, const std::string& path) {
    long long bytes = 0;
    for (const std::string& line : LogLinesFor(log, path))
        bytes += BytesSent(line);
    return bytes;
}

// The road of a delta patch, and a second one after it on an installation two versions behind: the
// installation becomes each version byte for byte, and only the patches travel.
TEST_P(UpdateScenario, DeltaPatchesInARowTurnAnInstallationTwoVersionsBehindIntoTheLatest) {
    const Versions versions;
    TempDir work;
    fs::create_directories(content_ / "patches");
    const std::string sha1 =
        PackDelta(Edition().OperatorTool(), content_ / "patches", versions.v1, versions.v2, "p1.zip", work);
    const std::string sha2 =
        PackDelta(Edition().OperatorTool(), content_ / "patches", versions.v2, versions.v3, "p2.zip", work);
    ServeList(Row(1, "p1.zip", 1000, "", 0, sha1) + Row(2, "p2.zip", 1000, "", 0, sha2));
    WriteTree(install_.Path(), versions.v1);

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p1\n"
                     "- Downloaded: p2\n"
                     "- Update process completed\n");
    EXPECT_EQ(r.err, "");
    for (const auto& [name, bytes] : versions.v3)
        EXPECT_TRUE(ReadFileBytes(install_ / name) == bytes) << name;
    EXPECT_FALSE(Installed("old/notes.txt"));
    EXPECT_FALSE(Installed("old"));
    EXPECT_FALSE(Installed("tqm_delta"));
    EXPECT_EQ(Ledger(), "1\r\n2\r\n");
    // Only the list and the two small patches travelled; the companions were not asked for.
    const std::string log = Requests();
    EXPECT_TRUE(LogLinesFor(log, "-full.zip").empty()) << log;
    const long long served = BytesServedFor(log, "/patches/");
    EXPECT_EQ(served, static_cast<long long>(fs::file_size(content_ / "patches/p1.zip") +
                                             fs::file_size(content_ / "patches/p2.zip")));
    EXPECT_LT(served, 200000);
}

// Files that are not the ones the delta expects come whole from the companion, and only they: by ranges
// from nginx, and from a server that ignores ranges by reading the whole companion as it streams.
TEST_P(UpdateScenario, FilesADeltaCannotTurnComeWholeFromTheCompanion) {
    const Versions versions;
    TempDir work;
    fs::create_directories(content_ / "patches");
    const std::string sha =
        PackDelta(Edition().OperatorTool(), content_ / "patches", versions.v1, versions.v2, "p1.zip", work);
    ServeList(Row(1, "p1.zip", 1000, "", 0, sha));
    const auto companionSize = static_cast<long long>(fs::file_size(content_ / "patches/p1-full.zip"));

    for (const bool ranges : {true, false}) {
        if (!ranges) {
            pc::test::NginxOptions options;
            options.serverDirectives = "    max_ranges 0;\n";
            StartServer(options);
            ServeList(Row(1, "p1.zip", 1000, "", 0, sha));
        }
        fs::remove_all(install_ / "data");
        fs::remove_all(install_ / "bin");
        fs::remove(install_ / "tqm_patch.ini");
        WriteTree(install_.Path(), versions.v1);
        // Changed by the player, and missing.
        WriteTree(install_.Path(), {{"data/pack.dat", "the player's own"}});
        fs::remove(install_ / "bin/game.exe");
        const std::string before = Requests();

        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: p1\n"
                         "- Fetching in full: bin/game.exe\n"
                         "- Fetching in full: data/pack.dat\n"
                         "- Fetching 2 files in full: 1.3 of 1.3 MB\n"
                         "- Update process completed\n")
            << ranges;
        for (const auto& [name, bytes] : versions.v2)
            EXPECT_TRUE(ReadFileBytes(install_ / name) == bytes) << name << ranges;
        EXPECT_EQ(Ledger(), "1\r\n");

        const std::string log = Requests().substr(before.size());
        const long long served = BytesServedFor(log, "/patches/p1-full.zip");
        const long long wanted = static_cast<long long>(versions.v2.at("data/pack.dat").size() +
                                                        versions.v2.at("bin/game.exe").size());
        if (ranges) {
            // The two files and the directory: not data/grows.dat, which was the delta's to turn.
            EXPECT_GE(served, wanted);
            EXPECT_LE(served, wanted + 256 * 1024) << log;
            for (const std::string& line : LogLinesFor(log, "/patches/p1-full.zip"))
                EXPECT_EQ(StatusOf(line), 206) << line;
        } else {
            // Each answer is the whole companion, read as it streams.
            const std::vector<std::string> answers = LogLinesFor(log, "/patches/p1-full.zip");
            ASSERT_FALSE(answers.empty());
            for (const std::string& line : answers) {
                EXPECT_EQ(StatusOf(line), 200) << line;
                EXPECT_EQ(BytesSent(line), companionSize) << line;
            }
        }
    }
}

// A companion whose full copy is not the file the manifest names: the patch stays unrecorded and nothing
// of it reaches the installation. One whose directory claims far more than the file the manifest pins (a
// small deflated bomb) is refused before a byte of it is written, even where files may not grow past
// 32 MiB.
TEST_P(UpdateScenario, AFullCopyThatDoesNotHashRightChangesNothing) {
    const Versions versions;
    TempDir work;
    fs::create_directories(content_ / "patches");
    const std::string sha =
        PackDelta(Edition().OperatorTool(), content_ / "patches", versions.v1, versions.v2, "p1.zip", work);
    ServeList(Row(1, "p1.zip", 1000, "", 0, sha));
    for (const std::string& copy : {std::string("not the program"), std::string(64u << 20, '\0')}) {
        fs::remove(content_ / "patches/p1-full.zip");
        ServeArchive("p1-full.zip", pc::test::ZipBuilder().Deflated("bin/game.exe", copy).Build());
        for (const auto& entry : fs::directory_iterator(install_.Path()))
            if (entry.path().filename() != "Config.ini")
                fs::remove_all(entry.path());
        WriteTree(install_.Path(), versions.v1);
        fs::remove(install_ / "bin/game.exe");

        const pc::test::FileSizeLimit limit(32u << 20);
        const ProgramResult r = Update();
        EXPECT_EQ(r.exitCode, 1) << r.err;
        // Either copy is refused by its directory's size before a byte of it arrives.
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: p1\n"
                         "- Fetching in full: bin/game.exe\n"
                         "- Fetching 1 file in full\n"
                         "- The update did not finish\n");
        EXPECT_NE(r.err.find("The full copy of bin/game.exe in p1-full.zip is not the file the patch brings"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(Ledger(), "");
        EXPECT_FALSE(Installed("bin/game.exe"));
        EXPECT_FALSE(Installed("added.txt"));
        EXPECT_TRUE(Installed("old/notes.txt"));
        for (const std::string name : {"data/pack.dat", "data/grows.dat", "readme.txt"})
            EXPECT_TRUE(ReadFileBytes(install_ / name) == versions.v1.at(name)) << name;
    }
}

// Releases in a group of their own supersede each other for new installations, so a delta patch never goes in
// one: publish refuses it there, and in group 0 after the full first patch a new installation gets every
// file.
TEST_P(UpdateScenario, ADeltaPatchOnlyGoesInGroupZeroSoNewInstallationsGetEveryFile) {
    const Versions versions;
    TempDir work;
    WriteTree(work / "v1", versions.v1);
    fs::create_directories(content_ / "patches");
    ASSERT_EQ(pc::test::RunProgram("'" + Edition().OperatorTool() + "' pack --all '" + (work / "v1") + "' '" +
                                   (content_ / "patches/p1.zip") + "'")
                  .exitCode,
              0);
    PackDelta(Edition().OperatorTool(), content_ / "patches", versions.v1, versions.v2, "p2.zip", work);
    const auto publish = [&](const std::string& name, const std::string& group) {
        return Patchctl("publish " + Quoted(content_ / "list.txt") + " " +
                        Quoted(content_ / ("patches/" + name)) + " " + server_->Url("/patches/" + name) +
                        " --group " + group);
    };
    ASSERT_EQ(publish("p1.zip", "1").exitCode, 0);
    const ProgramResult refused = publish("p2.zip", "1");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is a delta patch, and in group 1 it would supersede"), std::string::npos);
    ASSERT_EQ(publish("p2.zip", "0").exitCode, 0);

    EXPECT_EQ(Update().out,
              "- Searching for updates...\n- Downloaded: p1\n- Downloaded: p2\n- Update process completed\n");
    for (const auto& [name, bytes] : versions.v2)
        EXPECT_TRUE(ReadFileBytes(install_ / name) == bytes) << name;
}

} // namespace
