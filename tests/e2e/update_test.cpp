// patchctl update against a real nginx: every log line, the files of the installation, the ledger and the
// exit status, for the roads a patch can take.
#include "launcher/update_run.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::ZipBuilder;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
        const std::string plain = "client_title=Test Realm\n"
                                  "newsfile_url=" +
                                  server_->Url("/news.html") +
                                  "\n"
                                  "patchlist_url=" +
                                  server_->Url("/list.txt") +
                                  "\n"
                                  "server_name=Test Realm\n"
                                  "website_url=http://realm.example/\n"
                                  "controlpanel_url=http://realm.example/cp\n"
                                  "forum_url=http://realm.example/forum\n"
                                  "client_exe=game.exe\n";
        const ProgramResult encoded =
            pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " config encode --key 5A", plain);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    // A patch list row: five fields, each ended by a TAB.
    std::string Row(int id, const std::string& archive, int size, const std::string& run, int group) const {
        return std::to_string(id) + "\t" + server_->Url("/patches/" + archive) + "\t" + std::to_string(size) +
               "\t" + run + "\t" + std::to_string(group) + "\t\r\n";
    }
    void ServeList(const std::string& text) { content_.Write("list.txt", text); }
    void ServeArchive(const std::string& name, const std::string& bytes) {
        fs::create_directories(content_ / "patches");
        content_.Write("patches/" + name, bytes);
    }

    ProgramResult Update(const std::string& options = "") const {
        return pc::test::RunProgram(Quoted(PATCHCTL_PATH) + " update " + Quoted(install_.Path()) + " " +
                                    options);
    }
    bool Installed(const std::string& name) const { return fs::exists(install_ / name); }
    // The name that the archive of that last URL segment is downloaded to.
    static std::string Stored(const std::string& segment) { return pc::kStoredArchivePrefix + segment; }
    std::string Ledger() const {
        return Installed("tqm_patch.ini") ? ReadFileBytes(install_ / "tqm_patch.ini") : "";
    }
    std::string Requests() const { return ReadFileBytes((server_->StateDir() / "access.log").string()); }

    TempDir content_;
    TempDir install_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

// An executable entry as made on Unix.
pc::test::ZipEntryDef UnixProgram(const std::string& name, const std::string& text) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = text;
    entry.versionMadeBy = pc::test::kMadeByUnix;
    entry.externalAttr = 0100755u << 16;
    return entry;
}

// A deflated entry whose central directory holds a CRC-32 that its data does not have.
pc::test::ZipEntryDef WithWrongCrc(const std::string& name, const std::string& data) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = data;
    entry.centralCrc = 0xDEADBEEF;
    return entry;
}

// The program a patch brings: records what the installation looked like while it ran.
const std::string kSetupScript = "#!/bin/sh\n"
                                 "cd \"$(dirname \"$0\")\" || exit 1\n"
                                 "{ [ -e p0042.gpf.zip ] && echo archive present || echo archive gone\n"
                                 "  [ -e tqm_patch.ini ] && echo ledger present || echo ledger absent\n"
                                 "  cat data/readme.txt; } > marker.txt\n";

TEST_F(UpdateEndToEnd, RoadOfOnePatchAndTheRunAfterIt) {
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += "line " + std::to_string(i * 7919 % 10007) + "\n";
    ServeArchive("p0042.gpf.zip", ZipBuilder()
                                      .Directory("data/")
                                      .Deflated("data/readme.txt", "read me\n")
                                      .Deflated("data/sub/big.txt", big)
                                      .Add(UnixProgram("setup.sh", kSetupScript))
                                      .Build());
    ServeList("// the realm's patches\r\n" + Row(42, "p0042.gpf.zip", 900, "setup.sh", 0));

    const ProgramResult first = Update();
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "- Searching for updates...\n"
                         "- Downloaded: p0042\n"
                         "- Update process completed\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(ReadFileBytes(install_ / "data/readme.txt"), "read me\n");
    EXPECT_EQ(ReadFileBytes(install_ / "data/sub/big.txt"), big);
    // The program ran after extraction and deletion, before the patch was recorded.
    EXPECT_EQ(ReadFileBytes(install_ / "marker.txt"), "archive gone\nledger absent\nread me\n");
    EXPECT_FALSE(Installed(Stored("p0042.gpf.zip")));
    EXPECT_EQ(Ledger(), "42\r\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));

    fs::remove(install_ / "marker.txt");
    const ProgramResult second = Update();
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "- Searching for updates...\n"
                          "- No updates has been found\n");
    EXPECT_FALSE(Installed("marker.txt"));
    EXPECT_EQ(Ledger(), "42\r\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));
}

TEST_F(UpdateEndToEnd, OnlyTheLastRowOfAGroupIsApplied) {
    for (int id : {10, 11, 12})
        ServeArchive("p" + std::to_string(id) + ".zip",
                     ZipBuilder().Deflated("from" + std::to_string(id) + ".txt", std::to_string(id)).Build());
    ServeList(Row(10, "p10.zip", 100, "", 0) + Row(11, "p11.zip", 100, "", 7) +
              Row(12, "p12.zip", 100, "", 7));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p10\n"
                     "- Downloaded: p12\n"
                     "- Update process completed\n");
    EXPECT_TRUE(Installed("from10.txt"));
    EXPECT_FALSE(Installed("from11.txt"));
    EXPECT_TRUE(Installed("from12.txt"));
    EXPECT_EQ(Ledger(), "10\r\n12\r\n");
    EXPECT_EQ(Requests().find("p11.zip"), std::string::npos) << "a superseded patch was fetched";
}

TEST_F(UpdateEndToEnd, AnAppliedLaterRowSupersedesTheEarlierOne) {
    ServeArchive("p11.zip", ZipBuilder().Deflated("from11.txt", "11").Build());
    ServeArchive("p12.zip", ZipBuilder().Deflated("from12.txt", "12").Build());
    ServeList(Row(11, "p11.zip", 100, "", 7) + Row(12, "p12.zip", 100, "", 7));
    install_.Write("tqm_patch.ini", "12\r\n");

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- No updates has been found\n");
    EXPECT_FALSE(Installed("from11.txt"));
    EXPECT_EQ(Ledger(), "12\r\n");
}

TEST_F(UpdateEndToEnd, DownloadsThatFail) {
    // No list on the server.
    ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download patch list\n");
    EXPECT_FALSE(Installed("tmp_PatchList.ini"));

    // One archive missing: the run goes on with the next row.
    ServeArchive("p2.zip", ZipBuilder().Deflated("two.txt", "2").Build());
    ServeList(Row(1, "p1.zip", 100, "", 0) + Row(2, "p2.zip", 100, "", 0));
    r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Cannot download: p1\n"
                     "- Downloaded: p2\n"
                     "- Update process completed\n");
    EXPECT_FALSE(Installed(Stored("p1.zip")));
    EXPECT_TRUE(Installed("two.txt"));
    EXPECT_EQ(Ledger(), "2\r\n");
}

TEST_F(UpdateEndToEnd, AnHtmlPageForAnArchiveEndsTheRun) {
    const std::string page = "<!DOCTYPE html>\n<html><body><h1>Maintenance</h1></body></html>\n";
    ServeArchive("p5.zip", page);
    ServeArchive("p6.zip", ZipBuilder().Deflated("six.txt", "6").Build());
    ServeList(Row(5, "p5.zip", 100, "", 0) + Row(6, "p6.zip", 100, "", 0));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p5\n");
    EXPECT_EQ(r.err, "Invalid archive file. - Native error: 00035.\n");
    EXPECT_EQ(ReadFileBytes(install_ / Stored("p5.zip")), page);
    EXPECT_TRUE(Installed("tmp_PatchList.ini"));
    EXPECT_FALSE(Installed("tqm_patch.ini"));
    EXPECT_FALSE(Installed(Stored("p6.zip")));
    EXPECT_FALSE(Installed("six.txt"));
}

TEST_F(UpdateEndToEnd, EntryWithABadChecksumUnderEachFailurePolicy) {
    ServeArchive("p7.zip", ZipBuilder()
                               .Deflated("a.txt", "first")
                               .Add(WithWrongCrc("bad.txt", "damaged"))
                               .Deflated("z.txt", "last")
                               .Build());
    ServeList(Row(7, "p7.zip", 100, "", 0));
    const std::string failure =
        "ZipArchiver: Invalid size or check sum of file or unsupported compression format"
        " - Native error: 00008. File processing error, possibly disk is full\n";
    struct Case {
        const char* options;
        int dialogs;
        bool lastWritten;
    };
    for (const Case& c : {Case{"", 1, false}, Case{"--on-failure ignore", 1, true},
                          Case{"--on-failure retry-once", 2, true}}) {
        SCOPED_TRACE(c.options);
        fs::remove(install_ / "tqm_patch.ini");
        fs::remove(install_ / "z.txt");
        const ProgramResult r = Update(c.options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "- Searching for updates...\n"
                         "- Downloaded: p7\n"
                         "- Update process completed\n");
        std::string dialogs;
        for (int i = 0; i < c.dialogs; ++i)
            dialogs += failure;
        EXPECT_EQ(r.err, dialogs);
        // Whatever the answer, the patch counts as applied; the damaged file is never left behind.
        EXPECT_EQ(Ledger(), "7\r\n");
        EXPECT_EQ(ReadFileBytes(install_ / "a.txt"), "first");
        EXPECT_FALSE(Installed("bad.txt"));
        EXPECT_EQ(Installed("z.txt"), c.lastWritten);
        EXPECT_FALSE(Installed(Stored("p7.zip")));
    }
}

TEST_F(UpdateEndToEnd, AProgramThatCannotBeStartedIsReportedAndThePatchRecorded) {
    ServeArchive("p8.zip", ZipBuilder().Deflated("eight.txt", "8").Build());
    ServeList(Row(8, "p8.zip", 100, "setup.exe", 0));

    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "- Searching for updates...\n"
                     "- Downloaded: p8\n"
                     "- Cannot run: setup.exe\n"
                     "- Update process completed\n");
    EXPECT_TRUE(Installed("eight.txt"));
    EXPECT_EQ(Ledger(), "8\r\n");
}

TEST_F(UpdateEndToEnd, InstallationWithoutConfiguration) {
    fs::remove(install_ / "Config.ini");
    const ProgramResult r = Update();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Essential file missing: Config.ini\n");
    EXPECT_TRUE(fs::is_empty(install_.Path()));
}

} // namespace
