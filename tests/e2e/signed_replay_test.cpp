// Signed lists against a real nginx: a list served again after a newer one, with its genuine signature,
// is refused; so is an expired one; a signed list delivers only archives it pins with a SHA-256.
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/nginx_server.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::ZipBuilder;

const char* const kRefusedAsOlder = "- Searching for updates...\n"
                                    "- The patch list is older than the one already applied\n";

class SignedReplay : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
        fs::create_directories(content_ / "patches");
        const ProgramResult made = Patchctl("keygen " + Quoted(keys_ / "realm.pem"));
        ASSERT_EQ(made.exitCode, 0) << made.err;
        const ProgramResult encoded =
            Patchctl("config encode",
                     pc::test::RealmConfig(server_->Url("/news.html"), server_->Url("/list.txt")) + made.out);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    // Publishes the archive as the operator does, signed: the list's serial goes up by one each time.
    void Publish(const std::string& name, const std::string& archive, const std::string& options) {
        const std::string file = content_.Write("patches/" + name, archive);
        const ProgramResult r = Patchctl("publish " + Quoted(content_ / "list.txt") + " " + Quoted(file) +
                                         " " + server_->Url("/patches/" + name) + " " + options + " --key " +
                                         Quoted(keys_ / "realm.pem"));
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // The list and its signature as the server serves them now, to be served again later.
    struct Served {
        std::string list, signature;
    };
    Served Take() const {
        return {ReadFileBytes(content_ / "list.txt"), ReadFileBytes(content_ / "list.txt.sig")};
    }
    void Serve(const Served& served) {
        content_.Write("list.txt", served.list);
        content_.Write("list.txt.sig", served.signature);
    }
    ProgramResult Update() const { return Patchctl("update " + Quoted(install_.Path())); }
    std::string Installed(const std::string& name) const {
        return fs::exists(install_ / name) ? ReadFileBytes(install_ / name) : "(none)";
    }

    TempDir content_;
    TempDir install_;
    TempDir keys_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

// The replay of the example: v1 has patch 1 in group 7, v2 adds patch 2 to group 7. Served v1 again, an
// installation that applied v2 would find patch 1 the last of its group and not applied, and go back to
// v1's files.
TEST_F(SignedReplay, AnOlderSignedListServedAgainIsRefused) {
    Publish("p1.zip", ZipBuilder().Deflated("game.dat", "v1").Build(), "--group 7");
    const Served v1 = Take();
    EXPECT_EQ(v1.list.substr(0, 12), "//serial 1\r\n");
    Publish("p2.zip", ZipBuilder().Deflated("game.dat", "v2").Build(), "--group 7");
    const Served v2 = Take();
    EXPECT_EQ(v2.list.substr(0, 12), "//serial 2\r\n");

    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p2\n"
                     "- Update process completed\n");
    EXPECT_EQ(Installed("game.dat"), "v2");
    EXPECT_EQ(Installed("tqm_patch.ini"), "2\r\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "2\r\n");

    Serve(v1);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, kRefusedAsOlder);
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list has serial 1, lower than "
                     "serial 2 accepted before: it was served again\n");
    EXPECT_EQ(Installed("game.dat"), "v2");
    EXPECT_EQ(Installed("tqm_patch.ini"), "2\r\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "2\r\n");
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini"));
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.sig"));
    // Nothing of the refused list was fetched.
    const std::string log = ReadFileBytes((server_->StateDir() / "access.log").string());
    EXPECT_EQ(pc::test::LogLinesFor(log, "/patches/p1.zip").size(), 0u) << log;

    // The same list again is no replay; a newer one goes on as before.
    Serve(v2);
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- No updates has been found\n");
    Publish("p3.zip", ZipBuilder().Deflated("game.dat", "v3").Build(), "--group 7");
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Installed("game.dat"), "v3");
    EXPECT_EQ(Installed("tqm_patch.ini"), "2\r\n3\r\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "3\r\n");

    // A list signed before serials existed (v2 without its serial line, signed by the openssl tool) is
    // refused once a serial was seen.
    const std::string unstamped = v2.list.substr(v2.list.find("\r\n") + 2);
    content_.Write("list.txt", unstamped);
    ASSERT_EQ(pc::test::RunProgram("openssl dgst -sha256 -sign " + Quoted(keys_ / "realm.pem") + " -out " +
                                   Quoted(content_ / "list.txt.sig") + " " + Quoted(content_ / "list.txt"))
                  .exitCode,
              0);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, kRefusedAsOlder);
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list carries no serial (it has "
                     "no serial line), and serial 3 was accepted before\n");
    EXPECT_EQ(Installed("game.dat"), "v3");
    EXPECT_EQ(Installed("tqm_serial.ini"), "3\r\n");
}

// The rows of a list, without the stamp lines that lead it.
std::string RowsOf(const std::string& list) {
    std::size_t at = 0;
    while (list.compare(at, 2, "//") == 0)
        at = list.find("\r\n", at) + 2;
    return list.substr(at);
}

// An expired list is refused as an older one is, with its own line; a signed row that pins nothing is not
// downloaded.
TEST_F(SignedReplay, ExpiredListsAndUnpinnedRowsAreRefused) {
    Publish("p1.zip", ZipBuilder().Deflated("one.txt", "1").Build(), "");
    const std::string list = content_ / "list.txt";
    ASSERT_EQ(
        Patchctl("sign " + Quoted(list) + " --key " + Quoted(keys_ / "realm.pem") + " --expires 1").exitCode,
        0);
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Installed("one.txt"), "1");
    EXPECT_EQ(Installed("tqm_serial.ini"), "2\r\n");

    // Signed with an expiry that has passed (the openssl tool, since patchctl refuses to sign such a list),
    // and a higher serial: refused for the expiry alone, and its serial is not kept.
    const std::string rows = RowsOf(ReadFileBytes(list));
    content_.Write("list.txt", "//serial 9\r\n//expires 2020-01-01T00:00:00Z\r\n" + rows);
    ASSERT_EQ(pc::test::RunProgram("openssl dgst -sha256 -sign " + Quoted(keys_ / "realm.pem") + " -out " +
                                   Quoted(list + ".sig") + " " + Quoted(list))
                  .exitCode,
              0);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- The patch list has expired\n");
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list expired at "
                     "2020-01-01T00:00:00Z\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "2\r\n");
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini"));

    // A row without a SHA-256 in a signed list: not downloaded, and the run ends there as for any row
    // that cannot be downloaded.
    content_.Write("list.txt", "//serial 9\r\n" + rows);
    Publish("p2.zip", ZipBuilder().Deflated("two.txt", "2").Build(), "");
    const std::string bare = content_.Write("patches/p3.zip", ZipBuilder().Deflated("three.txt", "3").Build());
    content_.Write("list.txt", ReadFileBytes(list) + "3\t" + server_->Url("/patches/p3.zip") + "\t" +
                                   std::to_string(fs::file_size(bare)) + "\t\t0\t\r\n");
    ASSERT_EQ(Patchctl("sign " + Quoted(list) + " --key " + Quoted(keys_ / "realm.pem")).exitCode, 0);
    r = Update();
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p2\n"
                     "- Cannot download: p3\n"
                     "- The update is not complete; it will be tried again at the next start\n");
    EXPECT_EQ(r.err, "patchctl update: cannot download p3: the signed list gives no SHA-256 for it, and a "
                     "launcher with a patchlist_key downloads only archives whose SHA-256 the list gives\n");
    EXPECT_EQ(Installed("two.txt"), "2");
    EXPECT_EQ(Installed("three.txt"), "(none)");
    EXPECT_EQ(Installed("tqm_patch.ini"), "1\r\n2\r\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "11\r\n");
    const std::string log = ReadFileBytes((server_->StateDir() / "access.log").string());
    EXPECT_EQ(pc::test::LogLinesFor(log, "/patches/p3.zip").size(), 0u) << log;
}

} // namespace
