// patchctl extract, run as operators run it, checked against Info-ZIP unzip on the same archives.
#include "tests/archive/zip_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>

namespace fs = std::filesystem;

namespace {

using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;
using pc::test::ZipBuilder;
using pc::test::ZipEntryDef;

const std::string kPatchctl = PATCHCTL_PATH;
const std::string kFailureTail = ". File processing error, possibly disk is full";

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

ProgramResult Extract(const std::string& archive, const std::string& dest, const std::string& options = "") {
    return RunProgram(Quote(kPatchctl) + " extract " + Quote(archive) + " " + Quote(dest) + " " + options);
}

bool HaveUnzip() {
    return std::system("command -v unzip >/dev/null 2>&1 && command -v zip >/dev/null 2>&1") == 0;
}

// Every path under `root` with its contents; directories map to "/".
std::map<std::string, std::string> Contents(const std::string& root) {
    std::map<std::string, std::string> out;
    if (!fs::exists(root))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        out[rel] = e.is_directory() ? "/" : ReadFileBytes(e.path().string());
    }
    return out;
}

std::string Text(std::size_t n, unsigned seed) {
    std::string s;
    const char* words[] = {"patch ", "client ", "data ", "update ", "realm ", "\r\n", "texture ", "0042 "};
    unsigned x = seed;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 8];
    }
    s.resize(n);
    return s;
}

TEST(PatchctlExtract, WritesWhatUnzipWrites) {
    if (!HaveUnzip())
        GTEST_SKIP() << "Info-ZIP zip and unzip are not installed";
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> archives; // name, password

    ZipEntryDef emptyDeflated;
    emptyDeflated.name = "empty8.txt";
    emptyDeflated.payload = std::string("\x03\x00", 2);
    ZipEntryDef described;
    described.name = "docs/described.txt";
    described.data = Text(5000, 3);
    described.dataDescriptor = true;
    ZipEntryDef utf8;
    utf8.name = "caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt";
    utf8.utf8 = true;
    utf8.data = "unicode name";
    dir.Write("built.zip", ZipBuilder()
                               .Stored("stored.txt", "stored\n")
                               .Deflated("deflated.txt", Text(20000, 1))
                               .Stored("empty0.txt", "")
                               .Add(emptyDeflated)
                               .Directory("data/")
                               .Directory("data/deep/er/")
                               .Deflated("data/deep/er/big.bin", pc::test::RandomText(3 * 1024 * 1024, 9))
                               .Add(described)
                               .Stored("dup.txt", "first")
                               .Deflated("dup.txt", "second and last")
                               .Build());
    archives.push_back({"built.zip", ""});
    dir.Write("unicode.zip", ZipBuilder().Add(utf8).Stored("ascii.txt", "plain name").Build());
    archives.push_back({"unicode.zip", ""});

    ZipEntryDef secret;
    secret.name = "secret.txt";
    secret.data = Text(3000, 4);
    secret.password = "open sesame";
    ZipEntryDef secretDescribed = secret;
    secretDescribed.name = "secret-dd.txt";
    secretDescribed.dataDescriptor = true;
    dir.Write("secret.zip",
              ZipBuilder().Add(secret).Add(secretDescribed).Stored("plain.txt", "plain").Build());
    archives.push_back({"secret.zip", "open sesame"});

    // Archives made by Info-ZIP itself: deflate levels, directories, an empty file, encryption.
    const std::string src = dir / "src/";
    fs::create_directories(src + "bin/sub");
    fs::create_directories(src + "emptydir");
    dir.Write("src/readme.txt", Text(10000, 5));
    dir.Write("src/bin/random.bin", pc::test::RandomText(1500000, 6));
    dir.Write("src/bin/sub/zeros.bin", std::string(2000000, '\0'));
    dir.Write("src/empty", "");
    ASSERT_EQ(std::system(("cd " + Quote(src) +
                           " && zip -q -r -6 ../infozip6.zip . && zip -q -r -0 ../infozip0.zip . && " +
                           "zip -q -r -9 -P pw ../infozip-pw.zip .")
                              .c_str()),
              0);
    archives.push_back({"infozip6.zip", ""});
    archives.push_back({"infozip0.zip", ""});
    archives.push_back({"infozip-pw.zip", "pw"});

    for (const auto& [name, password] : archives) {
        SCOPED_TRACE(name);
        const std::string ours = dir / ("ours-" + name + "/");
        const ProgramResult r =
            Extract(dir / name, ours, password.empty() ? "" : "--password " + Quote(password));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto a = Contents(ours);
        // Info-ZIP unzip reads names as CP437 whatever their flags say, so it is a peer for plain names
        // only; Python's zipfile honours the UTF-8 flag.
        std::vector<std::pair<std::string, std::string>> peers;
        if (name != "unicode.zip")
            peers.push_back({"unzip", "unzip -o -q " +
                                          (password.empty() ? "" : "-P " + Quote(password) + " ") +
                                          Quote(dir / name) + " -d " + Quote(dir / ("unzip-" + name))});
        peers.push_back(
            {"zipfile",
             "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2], "
             "pwd=sys.argv[3].encode() or None)' " +
                 Quote(dir / name) + " " + Quote(dir / ("zipfile-" + name)) + " " + Quote(password)});
        for (const auto& [peer, command] : peers) {
            SCOPED_TRACE(peer);
            ASSERT_EQ(std::system(command.c_str()), 0);
            const auto b = Contents(dir / (peer + "-" + name));
            EXPECT_EQ(a.size(), b.size());
            for (const auto& [path, bytes] : b)
                EXPECT_TRUE(a.count(path) && a.at(path) == bytes) << peer << " wrote " << path;
            for (const auto& [path, bytes] : a)
                EXPECT_TRUE(b.count(path)) << "only we wrote " << path;
        }
    }
}

TEST(PatchctlExtract, EntryFailuresFollowThePolicy) {
    TempDir dir;
    ZipEntryDef bad;
    bad.name = "bad.txt";
    bad.data = "damaged";
    bad.centralCrc = 12345;
    const std::string archive =
        dir.Write("p.zip", ZipBuilder().Stored("one.txt", "1").Add(bad).Stored("three.txt", "3").Build());
    const std::string line = "ZipArchiver: Invalid size or check sum of file or unsupported compression "
                             "format - Native error: 00008" +
                             kFailureTail + "\n";
    struct Case {
        std::string options;
        std::string err;
        bool later;
    } cases[] = {
        {"", line, false},
        {"--on-failure abort", line, false},
        {"--on-failure ignore", line, true},
        {"--on-failure retry-once", line + line, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string out = dir / ("out" + std::to_string(&c - cases) + "/");
        const ProgramResult r = Extract(archive, out, c.options);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(fs::exists(out + "one.txt"));
        EXPECT_FALSE(fs::exists(out + "bad.txt"));
        EXPECT_EQ(fs::exists(out + "three.txt"), c.later);
    }

    // A name that would leave the destination is refused the same way.
    const std::string unsafe = dir.Write("u.zip", ZipBuilder().Stored("../outside.txt", "x").Build());
    const ProgramResult r = Extract(unsafe, dir / "u/", "--on-failure ignore");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "ZipArchiver: Unsafe file name \"../outside.txt\" - Native error: 00063" + kFailureTail + "\n");
    EXPECT_FALSE(fs::exists(dir / "outside.txt"));
}

TEST(PatchctlExtract, AFullDiskIsToldFromOtherFailedWrites) {
    TempDir dir;
    const std::string archive =
        dir.Write("p.zip", ZipBuilder()
                               .Stored("small.txt", "fits")
                               .Deflated("big.bin", pc::test::RandomText(256 * 1024, 9))
                               .Stored("later.txt", "never written")
                               .Build());
    struct Case {
        const char* what;
        bool tmpfs;
        std::string prefix; // shell commands before patchctl
        std::string err;
    } cases[] = {
        // Past the file size limit writes fail with EFBIG (the signal ignored), which is no full disk.
        {"file size limit", false, "trap '' XFSZ; ulimit -f 64; ",
         "patchctl extract: a file could not be written; extraction stopped\n"},
        // Last, since a machine that cannot mount it skips the rest of the test.
        {"full tmpfs", true, "", "patchctl extract: the disk is full; extraction stopped\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = dir / (std::string(c.tmpfs ? "tmpfs" : "limit") + "/");
        fs::create_directories(out);
        if (c.tmpfs && (::geteuid() != 0 || ::mount("tmpfs", out.c_str(), "tmpfs", 0, "size=64k") != 0))
            GTEST_SKIP() << "no small tmpfs can be mounted here (it takes root): " << c.what;
        struct Unmount {
            std::string at;
            ~Unmount() {
                if (!at.empty())
                    ::umount(at.c_str());
            }
        } unmount{c.tmpfs ? out : std::string()};
        dir.Write(out.substr(dir.Path().size()) + "big.bin", "old");
        const ProgramResult r =
            RunProgram(c.prefix + Quote(kPatchctl) + " extract " + Quote(archive) + " " + Quote(out));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(Contents(out),
                  (std::map<std::string, std::string>{{"small.txt", "fits"}, {"big.bin", "old"}}));
    }
}

TEST(PatchctlExtract, PasswordsAndOverwriting) {
    TempDir dir;
    ZipEntryDef secret;
    secret.name = "secret.txt";
    secret.data = "hidden";
    secret.password = "right";
    const std::string archive = dir.Write("s.zip", ZipBuilder().Add(secret).Stored("plain.txt", "p").Build());
    struct Case {
        std::string options;
        int exitCode;
        bool written;
    } cases[] = {{"", 1, false}, {"--password wrong", 1, false}, {"--password right", 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string out = dir / ("o" + std::to_string(&c - cases) + "/");
        const ProgramResult r = Extract(archive, out, c.options);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(fs::exists(out + "secret.txt"), c.written);
        EXPECT_EQ(ReadFileBytes(out + "plain.txt"), "p");
    }

    // An existing file is replaced unless the overwrite mode says otherwise; a kept file is no failure.
    const std::string plain = dir.Write("plain.zip", ZipBuilder().Stored("f.txt", "from archive").Build());
    fs::create_directories(dir / "ow");
    for (const auto& [mode, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--overwrite never", "existing"}, {"", "from archive"}}) {
        dir.Write("ow/f.txt", "existing");
        const ProgramResult r = Extract(plain, dir / "ow", mode);
        EXPECT_EQ(r.exitCode, 0) << mode;
        EXPECT_EQ(ReadFileBytes(dir / "ow/f.txt"), expected) << mode;
    }
}

// The modes an archive stores lose the umask patchctl was started with, as its own new files do; set-id
// and sticky bits never come through.
TEST(PatchctlExtract, StoredModesLoseTheUmask) {
    TempDir dir;
    const auto entry = [](const std::string& name, std::uint32_t mode) {
        ZipEntryDef e;
        e.name = name;
        e.data = name;
        e.versionMadeBy = pc::test::kMadeByUnix;
        e.externalAttr = mode << 16;
        return e;
    };
    const std::string archive = dir.Write("modes.zip", ZipBuilder()
                                                           .Add(entry("all.bin", 0100777))
                                                           .Add(entry("data.txt", 0100666))
                                                           .Add(entry("setuid.bin", 0104755))
                                                           .Add(entry("sticky.bin", 0101777))
                                                           .Add(entry("private.txt", 0100600))
                                                           .Build());
    struct Case {
        const char* umask;
        std::map<std::string, unsigned> modes;
    } cases[] = {
        {"022",
         {{"all.bin", 0755},
          {"data.txt", 0644},
          {"setuid.bin", 0755},
          {"sticky.bin", 0755},
          {"private.txt", 0600}}},
        {"077",
         {{"all.bin", 0700},
          {"data.txt", 0600},
          {"setuid.bin", 0700},
          {"sticky.bin", 0700},
          {"private.txt", 0600}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("umask ") + c.umask);
        const std::string out = dir / ("out" + std::string(c.umask) + "/");
        const ProgramResult r = RunProgram(std::string("umask ") + c.umask + "; " + Quote(kPatchctl) +
                                           " extract " + Quote(archive) + " " + Quote(out));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::map<std::string, unsigned> modes;
        for (const auto& e : fs::directory_iterator(out)) {
            struct stat st {};
            ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
            modes[e.path().filename().string()] = st.st_mode & 07777;
        }
        EXPECT_EQ(modes, c.modes);
    }
}

// An entry named as another entry's temporary once was is written, never deleted as a leftover, and the
// run is a success only when every entry was written.
TEST(PatchctlExtract, AnEntryNamedLikeATemporaryIsWritten) {
    TempDir dir;
    ZipEntryDef damaged;
    damaged.name = "x";
    damaged.data = "damaged";
    damaged.centralCrc = 12345;
    struct Case {
        const char* what;
        std::string archive;
        int exitCode;
        std::map<std::string, std::string> contents;
    } cases[] = {
        {"both whole",
         ZipBuilder().Stored(".x.pc-part", "first").Stored("x", "second").Build(),
         0,
         {{".x.pc-part", "first"}, {"x", "second"}}},
        {"the second damaged",
         ZipBuilder().Stored(".x.pc-part", "first").Add(damaged).Build(),
         1,
         {{".x.pc-part", "first"}}},
        {"in a folder, after its file",
         ZipBuilder().Stored("d/x", "second").Stored("d/.x.pc-part", "first").Build(),
         0,
         {{"d", "/"}, {"d/x", "second"}, {"d/.x.pc-part", "first"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = dir / (std::to_string(&c - cases) + "/");
        const ProgramResult r = Extract(dir.Write("p.zip", c.archive), out, "--on-failure ignore");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Contents(out), c.contents);
    }
}

TEST(PatchctlExtract, ArchivesThatCannotBeOpenedAndBadUsage) {
    TempDir dir;
    const std::string junk = dir.Write("junk.zip", "this is no archive at all");
    ProgramResult r = Extract(junk, dir / "out");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "Invalid archive file. - Native error: 00035.\n");
    r = Extract(dir / "missing.zip", dir / "out");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "ZipArchiver: File \"" + (dir / "missing.zip") + "\" not found - Native error: 00012.\n");
    EXPECT_FALSE(fs::exists(dir / "missing.zip")); // never made as an empty archive
    EXPECT_FALSE(fs::exists(dir / "out"));

    const struct {
        const char* args;
        const char* error;
    } usage[] = {
        {"extract", "ARCHIVE and DESTDIR are needed"},
        {"extract only-one", "ARCHIVE and DESTDIR are needed"},
        {"extract a b --on-failure sometimes", "unknown failure policy 'sometimes'"},
        {"extract a b --overwrite maybe", "unknown overwrite mode 'maybe'"},
        {"extract a b --password", "--password needs a value"},
        {"extract a b --bogus", "unknown option '--bogus'"},
    };
    for (const auto& c : usage) {
        r = RunProgram(Quote(kPatchctl) + " " + c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_EQ(r.err,
                  std::string("patchctl extract: ") + c.error +
                      "\nusage: patchctl extract ARCHIVE DESTDIR [--on-failure abort|ignore|retry-once] "
                      "[--overwrite always|never|newer|older] [--password TEXT]\n")
            << c.args;
    }
}

} // namespace
