// Against a real nginx: launchers with a patch list key read only lists that verify, and lint --fetch
// reports what players would get, row by row.
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/nginx_server.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;
using pc::test::ZipBuilder;

using pc::test::Sha256Sum;

class SignedDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
        fs::create_directories(content_ / "patches");
        for (const char* name : {"ours.pem", "theirs.pem"}) {
            const ProgramResult made = Patchctl("keygen " + Quoted(keys_ / name));
            ASSERT_EQ(made.exitCode, 0) << made.err;
            keyLines_[name] = made.out;
        }
    }

    // Config.ini for the installation, with the key line of `key` or without one.
    void Configure(const std::string& listPath, const std::string& key) {
        const std::string plain = "client_title=Realm\nnewsfile_url=" + server_->Url("/news.html") +
                                  "\npatchlist_url=" + server_->Url(listPath) +
                                  "\nserver_name=Realm\nwebsite_url=W\ncontrolpanel_url=C\nforum_url=F\n"
                                  "client_exe=game.exe\n" +
                                  (key.empty() ? "" : keyLines_[key]);
        const ProgramResult encoded = Patchctl("config encode", plain);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    std::string Serve(const std::string& path, const std::string& bytes) {
        return content_.Write(path, bytes);
    }
    std::string Requests() const { return ReadFileBytes((server_->StateDir() / "access.log").string()); }

    TempDir content_;
    TempDir install_;
    TempDir keys_;
    std::map<std::string, std::string> keyLines_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

TEST_F(SignedDelivery, OnlyAListSignedWithTheConfiguredKeyIsRead) {
    const std::string archive = Serve("patches/p1.zip", ZipBuilder().Deflated("from1.txt", "one").Build());
    const std::string list = content_ / "list.txt";
    ASSERT_EQ(
        Patchctl("publish " + Quoted(list) + " " + Quoted(archive) + " " + server_->Url("/patches/p1.zip"))
            .exitCode,
        0);
    const std::string published = ReadFileBytes(list);
    const std::string refused = "- Searching for updates...\n"
                                "- The patch list is not signed by this server\n";
    const std::string applied = "- Searching for updates...\n"
                                "- Downloaded: p1\n"
                                "- Update process completed\n";
    struct Case {
        const char* what;
        std::string listPath; // the URL's path, as Config.ini gives it
        std::string signer;   // the key the list is signed with; empty for none
        std::string listed;   // the list's bytes when the signature has been made
        std::string tampered; // what the server then serves instead, when not empty
        std::string log;
        std::string err; // patchctl's stderr
    } cases[] = {
        {"signed with our key", "/list.txt", "ours.pem", published, "", applied, ""},
        {"a query string after the path", "/list.txt?realm=eu", "ours.pem", published, "", applied, ""},
        {"changed after signing", "/list.txt", "ours.pem", published,
         published + "2\thttp://evil.example/p2.zip\t1\tp2.exe\t0\t\r\n", refused,
         "patchctl update: the patch list is refused: its signature does not verify under the patchlist_key "
         "of Config.ini\n"},
        {"no signature", "/list.txt", "", published, "", refused,
         "patchctl update: the patch list is refused: its signature " + server_->Url("/list.txt.sig") +
             " cannot be downloaded (HTTP status 404)\n"},
        {"signed with another key", "/list.txt", "theirs.pem", published, "", refused,
         "patchctl update: the patch list is refused: its signature does not verify under the patchlist_key "
         "of Config.ini\n"},
    };
    for (const Case& c : cases) {
        fs::remove_all(install_.Path());
        fs::create_directories(install_.Path());
        Configure(c.listPath, "ours.pem");
        Serve("list.txt", c.listed);
        fs::remove(list + ".sig");
        if (!c.signer.empty()) {
            ASSERT_EQ(Patchctl("sign " + Quoted(list) + " --key " + Quoted(keys_ / c.signer)).exitCode, 0);
        }
        if (!c.tampered.empty())
            Serve("list.txt", c.tampered);

        const ProgramResult r = Patchctl("update " + Quoted(install_.Path()));
        const bool accepted = c.log == applied;
        // A refused list is a run that went through without applying what it was asked for.
        EXPECT_EQ(r.exitCode, accepted ? 0 : 4) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.log) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        // The serial is kept only for a list whose signature verified.
        EXPECT_EQ(fs::exists(install_ / "tqm_serial.ini"), accepted) << c.what;
        EXPECT_EQ(fs::exists(install_ / "from1.txt"), accepted) << c.what;
        EXPECT_EQ(fs::exists(install_ / "tqm_patch.ini"), accepted) << c.what;
        EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini")) << c.what;
        EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.sig")) << c.what;
    }
    // The signature was asked for where the path ends, before the query; refused lists fetched no archive.
    EXPECT_NE(Requests().find("GET /list.txt.sig?realm=eu "), std::string::npos) << Requests();
    std::size_t archiveRequests = 0;
    for (auto at = Requests().find("GET /patches/p1.zip"); at != std::string::npos;
         at = Requests().find("GET /patches/p1.zip", at + 1))
        ++archiveRequests;
    EXPECT_EQ(archiveRequests, 2u);

    // Without the key line the launcher reads any list, as before.
    fs::remove_all(install_.Path());
    fs::create_directories(install_.Path());
    Configure("/list.txt", "");
    Serve("list.txt", published);
    fs::remove(list + ".sig");
    EXPECT_EQ(Patchctl("update " + Quoted(install_.Path())).out, applied);
}

TEST_F(SignedDelivery, LintFetchReportsEveryProblemKind) {
    const std::string good = ZipBuilder().Deflated("data/good.txt", "good").Build();
    const std::string goodFile = Serve("patches/good.zip", good);
    Serve("patches/sized.zip", good);
    Serve("patches/hashed.zip", good);
    Serve("patches/page.zip", "<html><body>Not here</body></html>\n");
    pc::test::ZipEntryDef damaged;
    damaged.name = "bad.txt";
    damaged.data = "damaged contents";
    damaged.centralCrc = 0xDEADBEEF;
    Serve("patches/damaged.zip", ZipBuilder().Deflated("fine.txt", "fine").Add(damaged).Build());
    Serve("patches/escape.zip", ZipBuilder().Deflated("../escape.txt", "out").Build());

    const auto size = [&](const std::string& name) {
        return std::to_string(fs::file_size(content_ / ("patches/" + name)));
    };
    const auto row = [&](int id, const std::string& name, const std::string& rowSize, int group,
                         const std::string& sha) {
        return std::to_string(id) + "\t" + server_->Url("/patches/" + name) + "\t" + rowSize + "\t\t" +
               std::to_string(group) + "\t" + sha + "\r\n";
    };
    const std::string sha = Sha256Sum(goodFile);
    const std::string wrongSha(64, 'a');
    const std::string list = Serve(
        "list.txt",
        "// realm patches\r\n" + row(1, "missing.zip", "10", 0, "") + row(2, "sized.zip", "999", 0, sha) +
            row(3, "hashed.zip", size("hashed.zip"), 0, wrongSha) +
            row(4, "page.zip", size("page.zip"), 0, "") + row(5, "damaged.zip", size("damaged.zip"), 0, "") +
            row(6, "escape.zip", size("escape.zip"), 0, "") + row(7, "gone.zip", "10", 5, "") +
            row(8, "good.zip", size("good.zip"), 5, sha));

    const ProgramResult r = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":";
    EXPECT_EQ(r.out,
              at + "8: info: patch 7 of group 5 is superseded by patch 8 (line 9) and is never downloaded\n" +
                  at + "2: not downloadable: HTTP status 404\n" + at +
                  "3: size differs: the list gives 999 bytes, the server sends " + size("sized.zip") + "\n" +
                  at + "4: SHA-256 differs: the list gives " + wrongSha + ", the archive has " + sha + "\n" +
                  at + "5: the archive does not open: Invalid archive file. - Native error: 00035.\n" + at +
                  "6: entry 'bad.txt' does not decode: ZipArchiver: Invalid size or check sum of file or "
                  "unsupported compression format - Native error: 00008.\n" +
                  at + "7: unsafe entry name '../escape.txt': the launcher does not extract it\n" + list +
                  ": 8 rows, 6 problems\n");
    EXPECT_EQ(r.err, "");
    // The superseded row was never asked for.
    EXPECT_EQ(Requests().find("gone.zip"), std::string::npos);

    // A clean list given by its URL, signed, checked against the key of a Config.ini.
    const std::string clean = Serve("clean.txt", row(8, "good.zip", size("good.zip"), 5, sha));
    ASSERT_EQ(Patchctl("sign " + Quoted(clean) + " --key " + Quoted(keys_ / "ours.pem")).exitCode, 0);
    Configure("/clean.txt", "ours.pem");
    const std::string url = server_->Url("/clean.txt");
    const std::string lintUrl =
        "lint " + Quoted(url) + " --fetch --sig --config " + Quoted(install_ / "Config.ini");
    ProgramResult checked = Patchctl(lintUrl);
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out, url + ": signature: " + url + ".sig verified with the key of " +
                               (install_ / "Config.ini") + "\n" + url + ": 1 row, 0 problems\n");
    fs::remove(clean + ".sig");
    checked = Patchctl(lintUrl);
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_EQ(checked.out, url + ": signature: " + url + ".sig is missing\n" + url + ": 1 row, 1 problem\n");
}

// Modes that let every user write a file are reported by entry: a launcher that keeps stored modes would
// give the players files any local user can change. Directories, links and modes from other hosts are not.
TEST_F(SignedDelivery, LintFetchReportsWorldWritableModes) {
    const auto entry = [](const std::string& name, std::uint32_t attr, std::uint16_t madeBy) {
        pc::test::ZipEntryDef e;
        e.name = name;
        e.data = name.back() == '/' ? "" : name;
        e.externalAttr = attr;
        e.versionMadeBy = madeBy;
        return e;
    };
    constexpr std::uint16_t kUnix = pc::test::kMadeByUnix, kDos = pc::test::kMadeByDos;
    const std::string archive = ZipBuilder()
                                    .Add(entry("bin/game", 0100777u << 16, kUnix))
                                    .Add(entry("data/notes.txt", 0100666u << 16, kUnix))
                                    .Add(entry("bin/setuid", 0104757u << 16, kUnix))
                                    .Add(entry("bin/tool", 0100755u << 16, kUnix))
                                    .Add(entry("shared/", (040777u << 16) | 0x10, kUnix))
                                    .Add(entry("link", 0120777u << 16, kUnix))
                                    .Add(entry("dos.txt", (0100777u << 16) | 0x20, kDos))
                                    .Build();
    Serve("patches/modes.zip", archive);
    const std::string list = Serve("modes.txt", "1\t" + server_->Url("/patches/modes.zip") + "\t" +
                                                    std::to_string(archive.size()) + "\t\t0\t\r\n");
    const ProgramResult r = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":1: entry '";
    const std::string kept =
        ": where stored modes are kept, any local user can change that file; store it as ";
    EXPECT_EQ(r.out, at + "bin/game' is stored world-writable (mode 0777)" + kept + "0755\n" + at +
                         "data/notes.txt' is stored world-writable (mode 0666)" + kept + "0644\n" + at +
                         "bin/setuid' is stored world-writable (mode 4757)" + kept + "0755\n" + list +
                         ": 1 row, 3 problems\n");
    EXPECT_EQ(r.err, "");
}

// lint --fetch fetches every mirror of a row and reports those that are down or hold other bytes than the
// list's SHA-256 (or, without one, than the row's own URL).
TEST_F(SignedDelivery, LintFetchChecksEveryMirrorHoldsTheSameBytes) {
    const std::string good = ZipBuilder().Deflated("a.txt", "a").Build();
    const std::string other = ZipBuilder().Deflated("b.txt", "b").Build();
    fs::create_directories(content_ / "m1");
    fs::create_directories(content_ / "m2");
    Serve("patches/p1.zip", good);
    Serve("patches/p2.zip", good);
    Serve("m1/p1.zip", good);
    Serve("m1/p2.zip", other);
    Serve("m2/p1.zip", other);
    const std::string sha = Sha256Sum(content_ / "patches/p1.zip");
    const std::string otherSha = Sha256Sum(content_ / "m1/p2.zip");
    const std::string size = std::to_string(good.size());
    const std::string list =
        Serve("list.txt", "//mirror " + server_->Url("/patches/") + " " + server_->Url("/m1/") + " " +
                              server_->Url("/m2/") + "\r\n1\t" + server_->Url("/patches/p1.zip") + "\t" +
                              size + "\t\t0\t" + sha + "\r\n2\t" + server_->Url("/patches/p2.zip") + "\t" +
                              size + "\t\t0\t\r\n");
    const ProgramResult r = Patchctl("lint " + Quoted(list) + " --fetch");
    EXPECT_EQ(r.exitCode, 1);
    const std::string at = list + ":";
    EXPECT_EQ(r.out, at + "2: mirror " + server_->Url("/m2/p1.zip") + " holds other bytes: SHA-256 " +
                         otherSha + ", not " + sha + "\n" + at + "3: mirror " + server_->Url("/m1/p2.zip") +
                         " holds other bytes: SHA-256 " + otherSha + ", not " + sha + "\n" + at +
                         "3: mirror " + server_->Url("/m2/p2.zip") + " not downloadable: HTTP status 404\n" +
                         list + ": 2 rows, 3 problems\n");
    EXPECT_EQ(r.err, "");
}

} // namespace
