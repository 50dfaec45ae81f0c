// patchctl keygen and sign as other local users and bad timing would try them: the key is private from
// its first moment, is made once, and a readable key is named when it signs.
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;

// The public key of a PEM private key as the openssl tool gives it, as keygen prints it.
std::string ConfigLineOf(const std::string& key) {
    return "patchlist_key=" +
           RunProgram("(openssl pkey -in " + Quoted(key) + " -pubout -outform DER | base64 -w0)").out + "\n";
}

// Two keygens of one path started together, many times over: exactly one makes the key and prints the
// line that belongs to it; the other exits 2 and prints no line.
TEST(PatchctlKeygen, OfTwoAtOnceOneWinsAndTheOtherWritesNothing) {
    TempDir dir;
    const std::string tool = Quoted(PATCHCTL_PATH);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const std::string key = dir / ("key" + std::to_string(round) + ".pem");
        auto one = [&](const char* name) {
            const std::string at = dir / (std::string(name) + std::to_string(round));
            return "(" + tool + " keygen " + Quoted(key) + " >" + Quoted(at + ".out") + " 2>" +
                   Quoted(at + ".err") + "; echo $? >" + Quoted(at + ".rc") + ")";
        };
        ASSERT_EQ(RunProgram(one("a") + " & " + one("b") + " & wait").exitCode, 0);
        const std::string a = dir / ("a" + std::to_string(round));
        const std::string b = dir / ("b" + std::to_string(round));
        const bool aWon = ReadFileBytes(a + ".rc") == "0\n";
        const std::string winner = aWon ? a : b;
        const std::string loser = aWon ? b : a;
        EXPECT_EQ(ReadFileBytes(winner + ".rc"), "0\n");
        EXPECT_EQ(ReadFileBytes(winner + ".out"), ConfigLineOf(key));
        EXPECT_EQ(ReadFileBytes(loser + ".rc"), "2\n");
        EXPECT_EQ(ReadFileBytes(loser + ".out"), "");
        EXPECT_EQ(ReadFileBytes(loser + ".err"),
                  "patchctl keygen: " + key + " exists; a key is never overwritten\n");
        EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
}

// The key is made private, whatever the umask, and never through a link planted at its name.
TEST(PatchctlKeygen, MakesThePrivateFileItselfAndFollowsNoLink) {
    TempDir dir;
    const std::string key = dir / "key.pem";
    ASSERT_EQ(RunProgram("umask 000; " + Quoted(PATCHCTL_PATH) + " keygen " + Quoted(key)).exitCode, 0);
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    const std::string target = dir.Write("target", "kept");
    fs::create_symlink(target, dir / "linked.pem");
    fs::create_symlink(dir / "nowhere", dir / "dangling.pem");
    for (const char* name : {"linked.pem", "dangling.pem"}) {
        const ProgramResult r = Patchctl("keygen " + Quoted(dir / name));
        EXPECT_EQ(r.exitCode, 2) << name;
        EXPECT_EQ(r.out, "") << name;
    }
    EXPECT_EQ(ReadFileBytes(target), "kept");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// sign names a key that group or others can read, and signs all the same; a private key signs quietly.
TEST(PatchctlSign, WarnsWhenOthersCanReadTheKey) {
    TempDir dir;
    const std::string key = dir / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    const std::string list = dir.Write("list.txt", "1\thttp://h/p1.zip\t1\t\t0\t\r\n");
    struct Case {
        unsigned mode;
        bool warned;
    } cases[] = {{0600, false}, {0400, false}, {0700, false}, {0644, true}, {0640, true}, {0604, true}};
    int serial = 0;
    for (const Case& c : cases) {
        fs::permissions(key, static_cast<fs::perms>(c.mode));
        const ProgramResult r = Patchctl("sign " + Quoted(list) + " --key " + Quoted(key));
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", c.mode);
        EXPECT_EQ(r.exitCode, 0) << mode;
        EXPECT_EQ(r.out, list + ".sig: signed, serial " + std::to_string(++serial) + "\n") << mode;
        EXPECT_EQ(r.err, c.warned ? "patchctl: warning: the key " + key +
                                        " can be read by other users (mode " + mode +
                                        "); whoever reads it can sign patch lists that players accept. Make "
                                        "it private: chmod 600 " +
                                        key + "\n"
                                  : std::string())
            << mode;
    }
}

} // namespace
