// Delta patches through patchctl: pack --delta and its companion, list, and extract applying them as the
// launcher does (the companion beside the archive standing in for the server's), with the fallback for
// files that are not the ones a delta expects, damaged deltas and full copies, and removals.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "launcher/apply/patch_extraction.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/file_limit.h"
#include "tests/support/nginx_server.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::ReadTreeFiles;
using pc::test::TempDir;
using pc::test::WriteTreeFile;

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// The lines of `text` that start with one of the words.
std::string LinesStartingWith(const std::string& text, const std::vector<std::string>& words) {
    std::istringstream in(text);
    std::string line, kept;
    while (std::getline(in, line))
        for (const std::string& word : words)
            if (line.rfind(word, 0) == 0)
                kept += line + "\n";
    return kept;
}

class DeltaPatch : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = dir_ / "old";
        next_ = dir_ / "new";
        // A packed data file with blocks rewritten, one inserted and one deleted: a delta.
        std::string pack = RandomBytes(1u << 20, 1);
        WriteTreeFile(old_, "data/pack.dat", pack);
        for (std::size_t at = 4096; at < pack.size(); at += 65536)
            pack.replace(at, 512, RandomBytes(512, static_cast<unsigned>(at)));
        pack.insert(300000, RandomBytes(3000, 7));
        pack.erase(700000, 2000);
        WriteTreeFile(next_, "data/pack.dat", pack);
        // A program whose new version stays executable.
        const std::string program = RandomBytes(200000, 2);
        WriteTreeFile(old_, "bin/game", program, 0755);
        WriteTreeFile(next_, "bin/game", program.substr(0, 150000) + "patched" + program.substr(150000),
                      0755);
        // Too small for a delta to pay: whole.
        WriteTreeFile(old_, "small.txt", "a\n");
        WriteTreeFile(next_, "small.txt", "b\n");
        WriteTreeFile(next_, "added.txt", "new in this version\n");
        WriteTreeFile(old_, "gone.txt", "removed by the patch\n");
        WriteTreeFile(old_, "olddir/sub/f", "its folders go with it\n");
        WriteTreeFile(old_, "keepdir/x", "removed\n");
        WriteTreeFile(old_, "keepdir/y", "kept\n");
        WriteTreeFile(next_, "keepdir/y", "kept\n");
        install_ = dir_ / "install";
        fs::copy(old_, install_, fs::copy_options::recursive);
    }

    pc::test::ProgramResult Pack(const std::string& out) const {
        return Patchctl("pack --delta " + Quoted(old_) + " " + Quoted(next_) + " " + Quoted(out));
    }
    pc::test::ProgramResult Extract(const std::string& archive) const {
        return Patchctl("extract " + Quoted(archive) + " " + Quoted(install_));
    }

    TempDir dir_;
    std::string old_, next_, install_;
};

TEST_F(DeltaPatch, PackListAndExtractTurnOldIntoNew) {
    const std::string archive = dir_ / "out/p1.zip";
    const auto packed = Pack(archive);
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const std::string companion = dir_ / "out/p1-full.zip";
    const std::uintmax_t deltaBytes =
        fs::file_size(next_ + "/data/pack.dat") + fs::file_size(next_ + "/bin/game");
    EXPECT_EQ(packed.out, archive + ": 2 files, 0 folders and 2 deltas, which make " +
                              std::to_string(22 + deltaBytes) + " bytes of files, packed into " +
                              std::to_string(fs::file_size(archive)) + "\n" + archive + ": 3 removals\n" +
                              companion +
                              ": the whole files of the deltas, for installations whose files differ; upload "
                              "it beside p1.zip\n");
    EXPECT_EQ(packed.err, "");
    // The deltas carry about what changed, not the files.
    EXPECT_LT(fs::file_size(archive), 40000u);
    EXPECT_FALSE(fs::exists(archive + ".parts~"));

    // The same trees give the same bytes, the companion's included.
    ASSERT_EQ(Pack(dir_ / "again/p1.zip").exitCode, 0);
    EXPECT_EQ(ReadFileBytes(archive), ReadFileBytes(dir_ / "again/p1.zip"));
    EXPECT_EQ(ReadFileBytes(companion), ReadFileBytes(dir_ / "again/p1-full.zip"));

    const auto listed = Patchctl("list " + Quoted(archive));
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out.find("tqm_delta"), std::string::npos) << listed.out;
    // Each delta with the size of its data (which libzstd decides), the new file's size, the start of its
    // SHA-256, the old file's size, its mode and name.
    std::string deltas = LinesStartingWith(listed.out, {"delta"});
    for (std::size_t at = 0; (at = deltas.find("delta\t", at)) != std::string::npos;) {
        at += 6;
        deltas.erase(at, deltas.find('\t', at) - at);
    }
    EXPECT_EQ(deltas, "delta\t\t200007\t" + pc::test::Sha256Sum(next_ + "/bin/game").substr(0, 8) +
                          "\tfrom 200000\t0755\tbin/game\ndelta\t\t" +
                          std::to_string(fs::file_size(next_ + "/data/pack.dat")) + "\t" +
                          pc::test::Sha256Sum(next_ + "/data/pack.dat").substr(0, 8) +
                          "\tfrom 1048576\t0644\tdata/pack.dat\n");
    EXPECT_EQ(LinesStartingWith(listed.out, {"remove"}),
              "remove\t\t\t\t\t\tgone.txt\nremove\t\t\t\t\t\tkeepdir/x\nremove\t\t\t\t\t\tolddir/sub/f\n");
    EXPECT_EQ(LinesStartingWith(listed.out, {"companion"}), "companion\t\t\t\t\t\tp1-full.zip\n");

    const auto extracted = Extract(archive);
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(extracted.out, "");
    // The emptied folders went; keepdir still holds y.
    EXPECT_EQ(ReadTreeFiles(install_), ReadTreeFiles(next_));
}

TEST_F(DeltaPatch, FilesThatAreNotTheOnesADeltaExpectsComeWholeFromTheCompanion) {
    const std::string archive = dir_ / "p1.zip";
    ASSERT_EQ(Pack(archive).exitCode, 0);
    const std::string companion = dir_ / "p1-full.zip";

    struct Case {
        std::string what;
        std::function<void()> change;
        std::string fetched;
    };
    const std::vector<Case> cases = {
        {"changed by the player", [&] { WriteTreeFile(install_, "data/pack.dat", "mine"); },
         "- Fetching in full: data/pack.dat\n"},
        {"missing", [&] { fs::remove(install_ + "/bin/game"); }, "- Fetching in full: bin/game\n"},
        {"already new",
         [&] {
             fs::copy_file(next_ + "/bin/game", install_ + "/bin/game", fs::copy_options::overwrite_existing);
         },
         ""},
        {"a damaged delta",
         [&] {
             // The archive as packed, but the program's delta rewritten: its entry's CRC-32 is right, its
             // frame gives another file.
             pc::TZipArchiver zip;
             zip.FileName = pc::Utf8ToWide(archive);
             zip.OpenInMode(pc::fmOpenRead | pc::fmShareDenyNone);
             const pc::TDeltaManifest manifest = *pc::ReadDeltaManifest(zip);
             zip.Close();
             pc::test::ZipBuilder damaged;
             damaged.Deflated("added.txt", "new in this version\n").Deflated("small.txt", "b\n");
             damaged.Deflated("tqm_delta/manifest", pc::FormatDeltaManifest(manifest));
             for (const pc::TDeltaRecord& d : manifest.deltas)
                 damaged.Stored(
                     "tqm_delta/" + d.entry, d.name == "bin/game" ? RandomBytes(300, 9) : [&] {
                         pc::TZipArchiver again;
                         again.FileName = pc::Utf8ToWide(archive);
                         again.OpenInMode(pc::fmOpenRead | pc::fmShareDenyNone);
                         pc::TMemoryStream data;
                         again.DecodeEntry(pc::FindEntry(again, "tqm_delta/" + d.entry), data);
                         again.Close();
                         return std::string(data.Data().begin(), data.Data().end());
                     }());
             fs::remove(archive);
             std::ofstream(archive, std::ios::binary) << damaged.Build();
         },
         "- Fetching in full: bin/game\n"},
    };
    for (const Case& c : cases) {
        fs::remove_all(install_);
        fs::copy(old_, install_, fs::copy_options::recursive);
        c.change();
        const auto extracted = Extract(archive);
        EXPECT_EQ(extracted.exitCode, 0) << c.what << ": " << extracted.err;
        EXPECT_EQ(extracted.out, c.fetched) << c.what;
        EXPECT_EQ(ReadTreeFiles(install_), ReadTreeFiles(next_)) << c.what;
    }

    // A full copy that is not the file the manifest names: nothing of the patch reaches the installation.
    fs::remove(companion);
    std::ofstream(companion, std::ios::binary)
        << pc::test::ZipBuilder().Deflated("bin/game", "not the program").Build();
    fs::remove_all(install_);
    fs::copy(old_, install_, fs::copy_options::recursive);
    fs::remove_all(install_ + "/bin");
    const auto before = ReadTreeFiles(install_);
    const auto refused = Extract(archive);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "- Fetching in full: bin/game\n");
    EXPECT_EQ(refused.err, "The full copy of bin/game in p1-full.zip is not the file the patch brings.\n");
    EXPECT_EQ(ReadTreeFiles(install_), before);
}

TEST_F(DeltaPatch, RemovalsStayInsideTheInstallationAndSpareTheLaunchersFiles) {
    // A copy of a played installation: pack leaves the launcher's files out, neither carried nor removed,
    // and NEW may not use the reserved folder.
    WriteTreeFile(old_, "Config.ini", "config");
    WriteTreeFile(old_, "tqm_patch.ini", "1\n");
    WriteTreeFile(next_, "TQM_PATCH.INI", "1\n2\n");
    WriteTreeFile(next_, "tqm_download/p2.zip", "partial");
    WriteTreeFile(next_, ".tqm_lock", "");
    const auto packed = Pack(dir_ / "p.zip");
    EXPECT_EQ(packed.exitCode, 0);
    EXPECT_EQ(packed.err, "patchctl pack: warning: .tqm_lock is a file of the launcher and is left out\n"
                          "patchctl pack: warning: TQM_PATCH.INI is a file of the launcher and is left out\n"
                          "patchctl pack: warning: tqm_download is a file of the launcher and is left out\n");
    const auto listed = Patchctl("list " + Quoted(dir_ / "p.zip"));
    for (const char* own : {"Config.ini", "tqm_patch.ini", "TQM_PATCH.INI", "tqm_download", ".tqm_lock"})
        EXPECT_EQ(listed.out.find(own), std::string::npos) << own;
    fs::remove(dir_ / "p.zip");
    fs::remove(dir_ / "p-full.zip");
    for (const char* own : {"TQM_PATCH.INI", "tqm_download", ".tqm_lock"})
        fs::remove_all(next_ + "/" + own);
    WriteTreeFile(next_, "TQM_Delta/manifest", "mine");
    const auto refused = Pack(dir_ / "p.zip");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.err,
              "patchctl pack: the name TQM_Delta lies in tqm_delta/, which patches keep for their "
              "deltas and removals\npatchctl pack: the name TQM_Delta/manifest lies in tqm_delta/, "
              "which patches keep for their deltas and removals\npatchctl pack: nothing written\n");
    EXPECT_FALSE(fs::exists(dir_ / "p.zip"));

    // A patch made elsewhere: the launcher's files and what lies behind a link out of the installation stay;
    // a file already gone is fine.
    const std::string outside = dir_ / "outside";
    WriteTreeFile(outside, "precious.txt", "not the game's");
    fs::create_directory_symlink(outside, install_ + "/linked");
    WriteTreeFile(install_, "Config.ini", "config");
    WriteTreeFile(install_, "tqm_patch.ini", "1\n");
    WriteTreeFile(install_, "tqm_download\\p1.zip", "partial");
    const std::string manifest =
        "//delta-patch 1\nremove config.ini\nremove tqm_patch.ini\n"
        "remove tqm_download\\p1.zip\nremove linked/precious.txt\nremove never-there.txt\n"
        "remove gone.txt\nremove olddir/sub/f\n";
    std::ofstream(dir_ / "hand.zip", std::ios::binary)
        << pc::test::ZipBuilder().Deflated("tqm_delta/manifest", manifest).Build();
    const auto extracted = Extract(dir_ / "hand.zip");
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ReadFileBytes(install_ + "/Config.ini"), "config");
    EXPECT_EQ(ReadFileBytes(install_ + "/tqm_patch.ini"), "1\n");
    EXPECT_TRUE(fs::exists(install_ + "/tqm_download\\p1.zip"));
    EXPECT_EQ(ReadFileBytes(outside + "/precious.txt"), "not the game's");
    EXPECT_FALSE(fs::exists(install_ + "/gone.txt"));
    EXPECT_FALSE(fs::exists(install_ + "/olddir"));
    EXPECT_FALSE(fs::exists(install_ + "/tqm_delta"));
}

} // namespace

namespace {

// publish tells the operator to upload the companion and refuses a delta patch without one; lint --fetch
// downloads both as players would and finds a companion that does not hold what the deltas make.
TEST_F(DeltaPatch, PublishNamesTheCompanionAndLintFetchChecksIt) {
    const std::string served = dir_ / "served";
    fs::create_directories(served);
    ASSERT_EQ(Pack(served + "/p1.zip").exitCode, 0);
    pc::test::NginxServer server(served);
    const std::string list = dir_ / "list.txt";
    const std::string url = server.Url("/p1.zip");

    fs::rename(served + "/p1-full.zip", dir_ / "aside.zip");
    const auto refused = Patchctl("publish " + Quoted(list) + " " + Quoted(served + "/p1.zip") + " " + url);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is a delta patch, and its companion p1-full.zip is not beside it"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(list));
    fs::rename(dir_ / "aside.zip", served + "/p1-full.zip");

    const auto published = Patchctl("publish " + Quoted(list) + " " + Quoted(served + "/p1.zip") + " " + url);
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_EQ(published.out, list + ": patch 1 added: " + url + ", " +
                                 std::to_string(fs::file_size(served + "/p1.zip")) + " bytes\nupload " +
                                 served + "/p1-full.zip beside it, as " + server.Url("/p1-full.zip") + "\n");

    auto linted = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(linted.exitCode, 0) << linted.out << linted.err;

    fs::remove(served + "/p1-full.zip");
    std::ofstream(served + "/p1-full.zip", std::ios::binary)
        << pc::test::ZipBuilder().Deflated("data/pack.dat", ReadFileBytes(next_ + "/data/pack.dat")).Build();
    linted = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(linted.exitCode, 1);
    EXPECT_NE(linted.out.find("the companion " + server.Url("/p1-full.zip") + " lacks bin/game"),
              std::string::npos)
        << linted.out;
    EXPECT_EQ(linted.out.find("data/pack.dat"), std::string::npos) << linted.out;

    fs::remove(served + "/p1-full.zip");
    linted = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(linted.exitCode, 1);
    EXPECT_NE(linted.out.find("the companion " + server.Url("/p1-full.zip") + " is not downloadable"),
              std::string::npos)
        << linted.out;
}

// A companion listed as a row would be applied as a patch; a delta patch in a group would supersede the
// group's full patch for new installations (publish refuses that, end to end): lint --fetch reports it.
TEST_F(DeltaPatch, NeitherACompanionNorADeltaInAGroupBecomesARow) {
    const std::string served = dir_ / "served", list = dir_ / "list.txt";
    fs::create_directories(served);
    ASSERT_EQ(Pack(served + "/p1.zip").exitCode, 0);
    const auto refused =
        Patchctl("publish " + Quoted(list) + " " + Quoted(served + "/p1-full.zip") + " http://h/p1-full.zip");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "patchctl publish: '" + served +
                               "/p1-full.zip' is the companion of the delta patch " + served +
                               "/p1.zip, not a patch: it is uploaded beside that patch and never "
                               "listed; the list is unchanged\n");
    pc::test::NginxServer server(served);
    std::ofstream(list) << "1\t" + server.Url("/p1.zip") + "\t" +
                               std::to_string(fs::file_size(served + "/p1.zip")) + "\t\t2\t\r\n";
    const auto linted = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(LinesStartingWith(linted.out, {list + ":1:"}),
              list +
                  ":1: patch 1 is a delta patch in group 2: new installations skip the group's earlier rows "
                  "and then lack every file it does not carry; a delta patch belongs in group 0\n");
}

} // namespace

namespace {

// A file that cannot be written while a delta is decoded (here past the process's file size limit) stops
// the run with that file's error, before any file of the patch changed; it is not fetched again in full.
TEST_F(DeltaPatch, AFileThatCannotBeWrittenWhileDecodingChangesNothing) {
    const std::string archive = dir_ / "p1.zip";
    ASSERT_EQ(Pack(archive).exitCode, 0);
    const auto before = ReadTreeFiles(install_);
    pc::test::ProgramResult extracted;
    {
        // Every whole file of the patch fits; the 1 MiB data file does not.
        pc::test::FileSizeLimit limit(600000);
        extracted = Extract(archive);
    }
    EXPECT_EQ(extracted.exitCode, 1);
    EXPECT_EQ(extracted.err, "Cannot write " + install_ + "/data/pack.dat.\n");
    EXPECT_EQ(extracted.out, "");
    EXPECT_EQ(ReadTreeFiles(install_), before);
}

} // namespace

namespace {

// A patch of more deltas than a process may hold files open: each waits for its place with a handle, so
// they are placed as they come once there are many.
TEST(DeltaPatchMany, MoreDeltasThanOpenFilesAreApplied) {
    TempDir dir;
    const std::string old = dir / "old", next = dir / "new", install = dir / "install";
    for (int i = 0; i < 300; ++i) {
        std::string text;
        for (int line = 0; line < 60; ++line)
            text += "file " + std::to_string(i) + " line " + std::to_string(line * 7919 % 1000) +
                    " of the realm\n";
        WriteTreeFile(old, "many/f" + std::to_string(i) + ".txt", text);
        WriteTreeFile(next, "many/f" + std::to_string(i) + ".txt", text + "patched\n");
    }
    const auto packed =
        Patchctl("pack --delta " + Quoted(old) + " " + Quoted(next) + " " + Quoted(dir / "p.zip"));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    ASSERT_NE(packed.out.find("300 deltas"), std::string::npos) << packed.out;
    fs::copy(old, install, fs::copy_options::recursive);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit few = saved;
    few.rlim_cur = 128;
    ::setrlimit(RLIMIT_NOFILE, &few);
    const auto extracted = Patchctl("extract " + Quoted(dir / "p.zip") + " " + Quoted(install));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ReadTreeFiles(install), ReadTreeFiles(next));
}

} // namespace
