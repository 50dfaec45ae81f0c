// patchctl verify and patchctl repair against a client published on nginx, the same for both editions: what
// they print, their exit status, the files of the installation afterwards and the bytes the server sent.
#include "tests/support/game_files_scenarios.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using pc::test::GameFiles;
using pc::test::LogLinesFor;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::Sha256Of;
using pc::test::TreeOf;

TEST_P(GameFiles, DamagedFilesAreFoundAndHealedAloneAndNothingElseIsTouched) {
    const ProgramResult clean = Verify();
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_EQ(clean.out, "");

    Damage();
    const ProgramResult verified = Verify();
    EXPECT_EQ(verified.exitCode, 1) << verified.err;
    const std::string found = "damaged: data/big.pak\n"
                              "missing: maps/one.map\n"
                              "damaged: readme.txt\n";
    EXPECT_EQ(verified.out, found);
    EXPECT_EQ(ArchiveBytesSent(), 0);

    const ProgramResult repaired = Repair();
    EXPECT_EQ(repaired.exitCode, 0) << repaired.err;
    EXPECT_EQ(repaired.out, found + "repaired: data/big.pak\n"
                                    "repaired: maps/one.map\n"
                                    "repaired: readme.txt\n");
    auto expected = files_;
    expected["Config.ini"] = ReadFileBytes(install_ / "Config.ini");
    expected["screenshots/shot1.png"] = "the player's picture";
    expected["tqm_patch.ini"] = "42\r\n";
    EXPECT_EQ(TreeOf(install_.Path()), expected);
    EXPECT_EQ(fs::status(install_ / "screenshots/pipe").type(), fs::file_type::fifo);
    // The damaged entries and the archive's end with its directory (one request of 66 KiB); game.exe,
    // 300 000 bytes between them, never.
    EXPECT_LT(ArchiveBytesSent(), 400'000 + 20'000 + 8 + 96 * 1024);

    const ProgramResult after = Verify();
    EXPECT_EQ(after.exitCode, 0) << after.err;
    EXPECT_EQ(after.out, "");
}

TEST_P(GameFiles, AServerIgnoringRangesSendsTheArchiveAsItStreams) {
    StartServer(pc::test::NginxOptions{"max_ranges 0;"});
    Publish(files_, archive_);
    Damage();
    const ProgramResult repaired = Repair();
    EXPECT_EQ(repaired.exitCode, 0) << repaired.err;
    for (const auto& [name, bytes] : files_)
        EXPECT_EQ(ReadFileBytes(install_ / name), bytes) << name;
    for (const std::string& line : LogLinesFor(Requests(), "/client/client.zip"))
        EXPECT_EQ(pc::test::StatusOf(line), 200) << line;
}

TEST_P(GameFiles, BadInputIsRefusedAndTheInstallationStaysAsItWas) {
    Damage();
    const auto damaged = TreeOf(install_.Path());
    // The archive's directory puts readme.txt's local header 100 bytes further on than it is.
    std::string lying = archive_;
    {
        auto u16 = [&](std::size_t at) {
            return static_cast<std::size_t>(static_cast<unsigned char>(lying[at]) |
                                            static_cast<unsigned char>(lying[at + 1]) << 8);
        };
        auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
        std::size_t at = u32(lying.size() - 22 + 16);
        for (int i = 0; i < 4; ++i) // readme.txt is the fifth entry
            at += 46 + u16(at + 28);
        const std::size_t moved = u32(at + 42) + 100;
        for (std::size_t i = 0; i < 4; ++i)
            lying[at + 42 + i] = static_cast<char>((moved >> (8 * i)) & 0xFF);
    }
    auto otherSize = files_;
    otherSize["readme.txt"] = "read me!\n"; // another size than the archive's
    auto otherBytes = files_;
    otherBytes["data/big.pak"] = pc::test::NoiseBytes(400'000, 9); // the archive's size, other bytes
    const std::string unsafe = "//client-manifest 1\n//archive client.zip " + Sha256Of(archive_) + "\n" +
                               Sha256Of("x") + " 1 0644 ../outside.txt\n";
    const std::string sizeProblem =
        " cannot be repaired: the manifest does not match the client archive: the "
        "client archive's directory gives readme.txt 8 bytes, the manifest 9\n";
    const std::string lyingProblem = " cannot be repaired: the client archive cannot be read: the archive's "
                                     "directory does not hold together: the data of readme.txt lies past the "
                                     "directory\n";

    struct Case {
        const char* what;
        std::string archive;
        std::string manifest;
        std::string listedSha;
        int exitCode;
        std::string err;  // how stderr begins
        std::string kept; // the one file that must stay as it was, or empty for every file
    } cases[] = {
        {"a manifest the list does not name", archive_, Manifest(files_, archive_), Sha256Of("another"), 4,
         "patchctl repair: the client manifest cannot be downloaded: SHA-256 mismatch\n", ""},
        {"an unsafe name", archive_, unsafe, "", 4,
         "patchctl repair: client manifest line 3: the name holds a \"..\" part\n", ""},
        {"sizes the archive's directory does not share", archive_, Manifest(otherSize, archive_), "", 1,
         "patchctl repair: data/big.pak" + sizeProblem + "patchctl repair: maps/one.map" + sizeProblem +
             "patchctl repair: readme.txt" + sizeProblem +
             "patchctl repair: 0 of 3 damaged or missing files repaired",
         ""},
        {"an entry that hashes otherwise", archive_, Manifest(otherBytes, archive_), "", 1,
         "patchctl repair: data/big.pak cannot be repaired: the archive's copy does not hash as the manifest "
         "says\npatchctl repair: 2 of 3 damaged or missing files repaired",
         "data/big.pak"},
        {"a directory that lies about offsets", lying, Manifest(files_, lying), "", 1,
         "patchctl repair: data/big.pak" + lyingProblem + "patchctl repair: maps/one.map" + lyingProblem +
             "patchctl repair: readme.txt" + lyingProblem,
         ""},
    };
    for (const auto& c : cases) {
        Damage();
        Publish(files_, c.archive, c.manifest, c.listedSha);
        const ProgramResult repaired = Repair();
        EXPECT_EQ(repaired.exitCode, c.exitCode) << c.what << "\n" << repaired.err;
        EXPECT_EQ(repaired.err.substr(0, c.err.size()), c.err) << c.what;
        const auto tree = TreeOf(install_.Path());
        if (c.kept.empty())
            EXPECT_EQ(tree, damaged) << c.what;
        else
            EXPECT_EQ(tree.at(c.kept), damaged.at(c.kept)) << c.what;
    }
}

TEST_P(GameFiles, AListWithoutAManifestSaysSo) {
    ServeList("// no client line\r\n");
    const ProgramResult verified = Verify();
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_EQ(verified.err, "patchctl verify: the patch list names no client manifest\n");
    EXPECT_EQ(verified.out, "");
}

// A snapshot is only ever checked against an installation of its own release: one behind it is updated
// first, one ahead of it (the list's client line forgotten at the last release) is left as it is.
TEST_P(GameFiles, RepairNeverTakesAnInstallationBackToAnOlderSnapshot) {
    auto release = files_;
    release["patch43.txt"] = "new in 43\n";
    content_.Write("p43.zip", Archive({{"patch43.txt", release["patch43.txt"]}}));
    const auto serve = [&](const std::map<std::string, std::string>& files, const std::string& last) {
        Publish(files, Archive(files));
        ServeList("43\t" + server_->Url("/p43.zip") + "\t1\t\t0\t\r\n//client " +
                  server_->Url("/client/client.manifest") + " " + Sha256Of(Manifest(files, Archive(files))) +
                  " " + last + "\r\n");
    };
    serve(release, "43");
    Damage();
    const auto damaged = TreeOf(install_.Path());
    EXPECT_EQ(Repair().err,
              "patchctl repair: this installation lacks patches that the server's game files hold: "
              "update first (patchctl update " +
                  install_.Path() + ")\n");
    EXPECT_EQ(TreeOf(install_.Path()), damaged);
    ASSERT_EQ(Update().exitCode, 0);
    EXPECT_EQ(Repair().exitCode, 0);

    serve(files_, "42");
    Damage();
    const auto ahead = TreeOf(install_.Path());
    const ProgramResult refused = Repair();
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_EQ(refused.err,
              "patchctl repair: the server's game files are older than this installation; nothing "
              "was changed\n");
    EXPECT_EQ(TreeOf(install_.Path()), ahead);
}

// A verify reads the installation and writes nothing into it, not even the lock file.
TEST_P(GameFiles, VerifyWritesNothing) {
    const auto written = std::filesystem::last_write_time(install_.Path());
    EXPECT_EQ(Verify().exitCode, 0);
    EXPECT_EQ(std::filesystem::last_write_time(install_.Path()), written);
    EXPECT_FALSE(std::filesystem::exists(install_ / ".tqm_lock"));
}

} // namespace
