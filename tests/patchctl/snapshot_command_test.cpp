// patchctl snapshot: the client's archive and manifest checked against peers (sha256sum, Info-ZIP, the
// openssl tool), the same bytes for the same tree, and the snapshots it refuses to write or replace.
#include "launcher/list/client_manifest.h"
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::ReadTreeFiles;
using pc::test::RunProgram;
using pc::test::Sha256Sum;
using pc::test::TempDir;
using pc::test::WriteTreeFile;

const std::string kUmlautName = "Gr\xC3\xBC\xC3\x9F"
                                "e/\xC3\xA4 b.txt";

class SnapshotTree : public ::testing::Test {
protected:
    void SetUp() override {
        client_ = dir_ / "client";
        WriteTreeFile(client_, "Game.exe", pc::test::RandomText(3000, 1), 0755);
        WriteTreeFile(client_, "data/a.pak", std::string(100000, 'a'));
        // Larger than the archive writer holds whole: streamed and hashed in the same read.
        WriteTreeFile(client_, "data/big.pak", pc::test::RandomText(5u << 20, 2));
        WriteTreeFile(client_, kUmlautName, "umlauts\n", 0600);
        WriteTreeFile(client_, "empty.txt", "");
        fs::create_directories(client_ + "/logs/none");
        const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24);
        for (const auto& entry : fs::recursive_directory_iterator(client_))
            fs::last_write_time(entry.path(), when);
    }

    pc::test::ProgramResult Snapshot(const std::string& out, const std::string& options = "") const {
        return Patchctl("snapshot " + Quoted(client_) + " " + Quoted(out) + options);
    }

    TempDir dir_;
    std::string client_;
};

TEST_F(SnapshotTree, ManifestAndArchiveAgreeWithPeersAndWithTheTree) {
    const std::string out = dir_ / "out";
    const auto result = Snapshot(out);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string archive = out + "/client.zip", manifestPath = out + "/client.manifest";
    const std::string text = ReadFileBytes(manifestPath);
    const std::uintmax_t bytes = 3000 + 100000 + (5u << 20) + 8 + 0;
    EXPECT_EQ(result.out, archive + ": 5 files, 4 folders, " + std::to_string(bytes) + " bytes packed into " +
                              std::to_string(fs::file_size(archive)) + "\n" + manifestPath + ": SHA-256 " +
                              Sha256Sum(manifestPath) + "\n");
    EXPECT_EQ(result.err, "");

    const pc::TClientManifest manifest = pc::ParseClientManifest(text);
    EXPECT_EQ(manifest.archiveName, "client.zip");
    EXPECT_EQ(manifest.archiveSha256, Sha256Sum(archive));
    const std::map<std::string, unsigned> modes = {{"Game.exe", 0755},
                                                   {"data/a.pak", 0644},
                                                   {"data/big.pak", 0644},
                                                   {"empty.txt", 0644},
                                                   {kUmlautName, 0600}};
    ASSERT_EQ(manifest.files.size(), modes.size());
    auto expected = modes.begin();
    for (const pc::TClientFile& file : manifest.files) {
        EXPECT_EQ(file.name, expected->first);
        EXPECT_EQ(file.mode, expected->second) << file.name;
        EXPECT_EQ(file.sha256, Sha256Sum(client_ + "/" + file.name)) << file.name;
        EXPECT_EQ(file.size, static_cast<std::int64_t>(fs::file_size(client_ + "/" + file.name)))
            << file.name;
        ++expected;
    }

    // Info-ZIP unpacks the very tree, empty folders included.
    const std::string unpacked = dir_ / "unpacked";
    const auto unzipped = RunProgram("unzip -q " + Quoted(archive) + " -d " + Quoted(unpacked));
    EXPECT_EQ(unzipped.exitCode, 0) << unzipped.err;
    EXPECT_EQ(ReadTreeFiles(unpacked), ReadTreeFiles(client_));

    // The same tree gives the same bytes.
    const auto again = Snapshot(dir_ / "again");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ReadFileBytes(dir_ / "again/client.zip"), ReadFileBytes(archive));
    EXPECT_EQ(ReadFileBytes(dir_ / "again/client.manifest"), text);
    EXPECT_FALSE(fs::exists(out + "/client.manifest.sig"));
}

TEST_F(SnapshotTree, SignedManifestVerifiesWithOpensslAndAnUnsignedReplacementDropsTheSignature) {
    const std::string key = dir_ / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    ASSERT_EQ(
        RunProgram("openssl pkey -in " + Quoted(key) + " -pubout -out " + Quoted(dir_ / "pub.pem")).exitCode,
        0);
    const std::string out = dir_ / "out";
    const std::string manifest = out + "/client.manifest", signature = manifest + ".sig";
    const auto signedRun = Snapshot(out, " --key " + Quoted(key));
    ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err;
    EXPECT_EQ(signedRun.out.substr(signedRun.out.rfind('\n', signedRun.out.size() - 2) + 1),
              signature + ": signed\n");
    const auto verified = RunProgram("openssl dgst -sha256 -verify " + Quoted(dir_ / "pub.pem") +
                                     " -signature " + Quoted(signature) + " " + Quoted(manifest));
    EXPECT_EQ(verified.out, "Verified OK\n") << verified.err;

    // A replacement without the key must not leave a signature of the manifest it replaced.
    WriteTreeFile(client_, "data/new.pak", "new in this release\n");
    const auto replaced = Snapshot(out, " --force");
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(replaced.out.substr(replaced.out.rfind('\n', replaced.out.size() - 2) + 1),
              signature + ": removed\n");
    EXPECT_FALSE(fs::exists(signature));
    EXPECT_EQ(pc::ParseClientManifest(ReadFileBytes(manifest)).files.size(), 6u);
}

TEST_F(SnapshotTree, RefusalsWriteNothing) {
    const std::string out = dir_ / "out";
    struct Case {
        const char* what;
        std::function<std::string()> arrange; // gives the OUTDIR to use
        int exitCode;
        std::function<std::string(const std::string&)> err;
    } cases[] = {
        {"an existing manifest",
         [&] {
             WriteTreeFile(out, "client.manifest", "published\n");
             return out;
         },
         2,
         [](const std::string& o) {
             return "patchctl snapshot: " + o +
                    "/client.manifest exists; a published snapshot must not change (--force replaces it); "
                    "nothing written\n";
         }},
        {"a symbolic link in the client",
         [&] {
             fs::create_symlink("Game.exe", client_ + "/link.exe");
             return out;
         },
         2,
         [](const std::string&) {
             return std::string("patchctl snapshot: link.exe is a symbolic link, which a patch cannot carry\n"
                                "patchctl snapshot: nothing written\n");
         }},
        {"a name that a manifest line cannot carry",
         [&] {
             WriteTreeFile(client_, "notes\nfor players.txt", "x");
             return out;
         },
         2,
         [](const std::string&) {
             return std::string(
                 "patchctl snapshot: notes\nfor players.txt: the name holds a control character\n"
                 "patchctl snapshot: nothing written\n");
         }},
        {"OUTDIR inside the client", [&] { return client_ + "/snap"; }, 2,
         [&](const std::string& o) {
             return "patchctl snapshot: '" + o + "' lies inside the client '" + client_ +
                    "'\nusage: patchctl snapshot CLIENT_DIR OUTDIR [--key KEY.pem] [--force]\n";
         }},
        {"an empty client",
         [&] {
             fs::remove_all(client_);
             fs::create_directories(client_ + "/only/folders");
             return out;
         },
         2,
         [&](const std::string&) {
             return "patchctl snapshot: '" + client_ + "' holds no file; nothing written\n";
         }},
    };
    for (const Case& c : cases) {
        SetUp();
        fs::remove_all(out);
        const std::string target = c.arrange();
        const auto before =
            fs::exists(target) ? ReadTreeFiles(target) : std::map<std::string, pc::test::TreeFile>{};
        const auto result = Snapshot(target);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(result.out, "") << c.what;
        const std::string err = c.err(target);
        EXPECT_EQ(result.err.substr(0, err.size()), err) << c.what;
        const auto after =
            fs::exists(target) ? ReadTreeFiles(target) : std::map<std::string, pc::test::TreeFile>{};
        EXPECT_EQ(after, before) << c.what;
        fs::remove_all(client_);
    }
}

} // namespace
