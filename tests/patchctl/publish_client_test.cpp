// patchctl publish --client and lint on the list's client line: one line naming the snapshot's manifest,
// every other byte kept, the manifest and its archive checked first, the line signed with the list.
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::Sha256Sum;
using pc::test::TempDir;
using pc::test::WriteTreeFile;

const std::string kUrl = "https://cdn.example/client/r7/client.manifest";

class PublishClient : public ::testing::Test {
protected:
    void SetUp() override {
        WriteTreeFile(dir_ / "client", "Game.exe", "the game\n", 0755);
        WriteTreeFile(dir_ / "client", "data/a.pak", "assets\n");
        const ProgramResult made =
            Patchctl("snapshot " + Quoted(dir_ / "client") + " " + Quoted(dir_ / "snap"));
        ASSERT_EQ(made.exitCode, 0) << made.err;
        manifest_ = dir_ / "snap/client.manifest";
        line_ = "//client " + kUrl + " " + Sha256Sum(manifest_);
    }

    ProgramResult Publish(const std::string& list, const std::string& options = "") const {
        return Patchctl("publish " + Quoted(list) + " --client " + Quoted(manifest_) + " " + kUrl + options);
    }

    TempDir dir_;
    std::string manifest_, line_;
};

TEST_F(PublishClient, SetsOneLineAndKeepsEveryOtherByte) {
    const std::string row = "1\thttp://h/p1.zip\t10\t\t0\t\r\n";
    struct Case {
        const char* what;
        std::string list;
        std::string expected; // with CLIENT for the new line
        const char* last;     // the last patch the snapshot holds: the list's highest id
    } cases[] = {
        {"appended after the rows", "// realm\r\n" + row, "// realm\r\n" + row + "CLIENT\r\n", "1"},
        {"a last line without its line end", "7\thttp://h/p7.zip\t10\t\t0\t\r\n1\thttp://h/p1.zip\t10\t\t0\t",
         "7\thttp://h/p7.zip\t10\t\t0\t\r\n1\thttp://h/p1.zip\t10\t\t0\t\r\nCLIENT\r\n", "7"},
        {"replaced in place, a second one dropped",
         "//client http://old/client.manifest " + std::string(64, '0') + " 0\n" + row + "//client broken\r",
         "CLIENT\r\n" + row, "1"},
        {"a new list", "", "CLIENT\r\n", "0"},
    };
    for (const Case& c : cases) {
        const std::string list = dir_ / "list.txt";
        fs::remove(list);
        if (!c.list.empty())
            dir_.Write("list.txt", c.list);
        const ProgramResult r = Publish(list);
        ASSERT_EQ(r.exitCode, 0) << c.what << ": " << r.err;
        std::string expected = c.expected;
        expected.replace(expected.find("CLIENT"), 6, line_ + " " + c.last);
        EXPECT_EQ(ReadFileBytes(list), expected) << c.what;
        EXPECT_EQ(r.out, list + ": client manifest set: " + kUrl + " (2 files)\nupload " + manifest_ +
                             " to " + kUrl + " and " + (dir_ / "snap/client.zip") +
                             " to https://cdn.example/client/r7/client.zip\n")
            << c.what;
        const ProgramResult lint = Patchctl("lint " + Quoted(list));
        EXPECT_EQ(lint.exitCode, 0) << c.what << ": " << lint.out;
    }
}

TEST_F(PublishClient, SignedListCoversTheLine) {
    const std::string key = dir_ / "key.pem";
    ASSERT_EQ(Patchctl("keygen " + Quoted(key)).exitCode, 0);
    ASSERT_EQ(
        RunProgram("openssl pkey -in " + Quoted(key) + " -pubout -out " + Quoted(dir_ / "pub.pem")).exitCode,
        0);
    const std::string list =
        dir_.Write("list.txt", "//serial 4\r\n1\thttp://h/p1.zip\t10\t\t0\t" + std::string(64, 'a') + "\r\n");
    const ProgramResult r = Publish(list, " --key " + Quoted(key));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(list), "//serial 5\r\n1\thttp://h/p1.zip\t10\t\t0\t" + std::string(64, 'a') +
                                       "\r\n" + line_ + " 1\r\n");
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), list + ".sig: signed, serial 5\n");
    const ProgramResult verified = RunProgram("openssl dgst -sha256 -verify " + Quoted(dir_ / "pub.pem") +
                                              " -signature " + Quoted(list + ".sig") + " " + Quoted(list));
    EXPECT_EQ(verified.out, "Verified OK\n") << verified.err;
}

TEST_F(PublishClient, RefusesAndLeavesTheListAlone) {
    const std::string list = dir_.Write("list.txt", "1\thttp://h/p1.zip\t10\t\t0\t\r\n");
    const std::string snap = dir_ / "snap/";
    const std::string archiveBytes = ReadFileBytes(snap + "client.zip");
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string options;
        int exitCode;
        std::string err;
    } cases[] = {
        {"a manifest that does not read",
         [&] { dir_.Write("snap/client.manifest", "//client-manifest 1\n//archive client.zip x\n"); }, "", 1,
         "patchctl publish: " + snap +
             "client.manifest: client manifest line 2: the archive's SHA-256 is not 64 lower-case "
             "hexadecimal "
             "digits; the list is unchanged\n"},
        {"no archive beside it", [&] { fs::remove(snap + "client.zip"); }, "", 1,
         "patchctl publish: " + snap +
             "client.zip, the archive the manifest names, is not beside it; the list is "
             "unchanged\n"},
        {"another archive beside it", [&] { dir_.Write("snap/client.zip", archiveBytes + "x"); }, "", 1,
         "patchctl publish: " + snap +
             "client.zip is not the archive the manifest names (its SHA-256 differs); the list is "
             "unchanged\n"},
        {"a signed list without the key", [&] { dir_.Write("list.txt.sig", "sig"); }, "", 1,
         "patchctl publish: " + list +
             ".sig exists and would not match the changed list, so every launcher with the key would refuse "
             "it: "
             "give --key KEY.pem to sign again, or --unsigned to remove the signature; the list is "
             "unchanged\n"},
        {"a row's option", [] {}, " --id 4", 2, "patchctl publish: --id does not go with --client\n"},
        {"an ARCHIVE as well", [] {}, " more.zip", 2,
         "patchctl publish: with --client, LIST and the manifest's URL are needed\n"},
    };
    for (const Case& c : cases) {
        const std::string manifestBytes = ReadFileBytes(manifest_);
        c.arrange();
        const ProgramResult r = Publish(list, c.options);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(r.err.substr(0, r.err.find("usage:")), c.err) << c.what;
        EXPECT_EQ(ReadFileBytes(list), "1\thttp://h/p1.zip\t10\t\t0\t\r\n") << c.what;
        dir_.Write("snap/client.manifest", manifestBytes);
        dir_.Write("snap/client.zip", archiveBytes);
        fs::remove(list + ".sig");
    }
    const ProgramResult notUrl =
        Patchctl("publish " + Quoted(list) + " --client " + Quoted(manifest_) + " client.manifest");
    EXPECT_EQ(notUrl.exitCode, 2);
    EXPECT_EQ(notUrl.err.substr(0, notUrl.err.find("usage:")),
              "patchctl publish: 'client.manifest' is not an http:// or https:// URL without blanks\n");
}

TEST(PatchctlLintClientLine, FormUrlAndOnce) {
    TempDir dir;
    const std::string sha(64, 'c');
    const std::string removed = "//client-removed https://h/client.removed";
    const std::string list = dir.Write(
        "list.txt",
        "//client https://h/client.manifest " + sha + "\r\n" + "//client ftp://h/client.manifest " + sha +
            "\r\n" + "//client https://h/client.manifest " + std::string(64, 'C') + "\r\n" + removed + " " +
            sha + "\r\n" + removed + "\r\n" + removed + " " + sha + "\r\n1\thttp://h/p1.zip\t10\t\t0\t\r\n");
    const ProgramResult r = Patchctl("lint " + Quoted(list));
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":";
    EXPECT_EQ(r.out,
              at + "2: client line's URL 'ftp://h/client.manifest' is not an http:// or https:// URL\n" + at +
                  "2: client line given twice (first on line 1): launchers use neither\n" + at +
                  "3: client line is not of the form '//client URL SHA256 PATCH' (the SHA-256 in 64 "
                  "lower-case hexadecimal digits, PATCH the id of the last patch the snapshot holds): "
                  "launchers find no client manifest\n" +
                  at + "3: client line given twice (first on line 1): launchers use neither\n" + at +
                  "5: line of removed files is not of the form '//client-removed URL SHA256': installations "
                  "healing from an older release cannot complete\n" +
                  at +
                  "6: line of removed files given twice (first on line 4): healing installations cannot "
                  "complete\n" +
                  list + ": 1 row, 6 problems\n");
}

} // namespace
