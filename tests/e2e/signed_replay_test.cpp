// Signed lists against a real nginx: an expired one is refused, and a signed list delivers only archives it
// pins with a SHA-256. A list served again after a newer one is a scenario both editions share
// (update_scenarios_test.cpp).
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
    ProgramResult Update() const { return Patchctl("update " + Quoted(install_.Path())); }
    std::string Installed(const std::string& name) const {
        return fs::exists(install_ / name) ? ReadFileBytes(install_ / name) : "(none)";
    }

    TempDir content_;
    TempDir install_;
    TempDir keys_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

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
                     "- The patch list has expired; the server must publish a new one\n");
    EXPECT_EQ(r.err, "patchctl update: the patch list is refused: the signed list expired at "
                     "2020-01-01T00:00:00Z\n");
    EXPECT_EQ(Installed("tqm_serial.ini"), "2\r\n");
    EXPECT_FALSE(fs::exists(install_ / "tmp_PatchList.ini"));

    // A row without a SHA-256 in a signed list: not downloaded, and the run ends there as for any row
    // that cannot be downloaded.
    content_.Write("list.txt", "//serial 9\r\n" + rows);
    Publish("p2.zip", ZipBuilder().Deflated("two.txt", "2").Build(), "");
    const std::string bare =
        content_.Write("patches/p3.zip", ZipBuilder().Deflated("three.txt", "3").Build());
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
