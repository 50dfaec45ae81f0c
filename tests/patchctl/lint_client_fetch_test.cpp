// Against a real nginx: lint --fetch downloads the manifest that the client line names and the directory of
// the archive beside it, and reports where they, or the line, disagree.
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/nginx_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::Sha256Sum;
using pc::test::TempDir;
using pc::test::WriteTreeFile;

class LintClientFetch : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pc::test::NginxServer>(content_.Path());
        MakeSnapshot("r1", {{"Game.exe", "the game\n"}, {"data/a.pak", "assets\n"}});
        fs::copy(work_ / "r1", content_ / "client");
    }

    void MakeSnapshot(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& files) {
        for (const auto& [file, bytes] : files)
            WriteTreeFile(work_ / ("tree-" + name), file, bytes);
        const ProgramResult made =
            Patchctl("snapshot " + Quoted(work_ / ("tree-" + name)) + " " + Quoted(work_ / name));
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }

    // The list with one row and the line naming `manifestSha` at /client/client.manifest.
    std::string List(const std::string& manifestSha) const {
        return work_.Write("list.txt", "//client " + ManifestUrl() + " " + manifestSha + " 0\r\n");
    }
    std::string ManifestUrl() const { return server_->Url("/client/client.manifest"); }

    TempDir content_, work_;
    std::unique_ptr<pc::test::NginxServer> server_;
};

TEST_F(LintClientFetch, ReportsWhereTheLineTheManifestAndTheArchiveDisagree) {
    const std::string manifest = content_ / "client/client.manifest";
    const std::string published = ReadFileBytes(manifest);
    const std::string archiveUrl = server_->Url("/client/client.zip");
    MakeSnapshot("r2", {{"Game.exe", "the game, patched\n"}, {"data/b.pak", "other assets\n"}});
    const std::string broken = "//client-manifest 1\n//archive client.zip " + std::string(64, 'e') + "\n" +
                               std::string(64, 'a') + " 1 0644 ../escape\n";
    struct Case {
        const char* what;
        std::function<std::string()> arrange; // gives the SHA-256 that the list names
        std::string out;                      // after "LIST:1: "
    } cases[] = {
        {"agreeing", [&] { return Sha256Sum(manifest); },
         "info: client manifest: 2 files agree with the directory of " + archiveUrl + "\n"},
        {"a manifest that is not the one the list names", [&] { return std::string(64, 'f'); },
         "client manifest SHA-256 differs: the list gives " + std::string(64, 'f') + ", the server sends " +
             Sha256Sum(manifest) + "\n"},
        {"no manifest",
         [&] {
             fs::remove(manifest);
             return std::string(64, 'f');
         },
         "client manifest not downloadable: HTTP status 404\n"},
        {"a manifest that does not read",
         [&] { return Sha256Sum(content_.Write("client/client.manifest", broken)); },
         "client manifest line 3: the name holds a \"..\" part\n"},
        {"the archive of another release",
         [&] {
             fs::copy_file(work_ / "r2/client.zip", content_ / "client/client.zip",
                           fs::copy_options::overwrite_existing);
             return Sha256Sum(manifest);
         },
         "'Game.exe' has 9 bytes in the client manifest and 18 in " + archiveUrl + "\n" +
             "LIST:1: " + "the client manifest names 'data/a.pak', which " + archiveUrl + " does not hold\n" +
             "LIST:1: " + "'data/b.pak' is in " + archiveUrl + " but not in the client manifest\n"},
    };
    for (const Case& c : cases) {
        content_.Write("client/client.manifest", published);
        fs::copy_file(work_ / "r1/client.zip", content_ / "client/client.zip",
                      fs::copy_options::overwrite_existing);
        const std::string list = List(c.arrange());
        const ProgramResult r = Patchctl("lint " + Quoted(list) + " --fetch");
        std::string expected = list + ":1: " + c.out;
        for (auto at = expected.find("LIST:"); at != std::string::npos; at = expected.find("LIST:"))
            expected.replace(at, 4, list);
        const bool clean = c.out.rfind("info:", 0) == 0;
        EXPECT_EQ(r.out, expected + list + ": 0 rows, " + (clean ? "0 problems" : "") +
                             (clean ? ""
                                    : std::to_string(std::count(c.out.begin(), c.out.end(), '\n')) +
                                          (std::count(c.out.begin(), c.out.end(), '\n') == 1 ? " problem"
                                                                                             : " problems")) +
                             "\n")
            << c.what;
        EXPECT_EQ(r.exitCode, clean ? 0 : 1) << c.what;
    }
}

// The list of removed files that healing reads: the file the list names, naming nothing that the
// latest release still has (healing would keep it).
TEST_F(LintClientFetch, ChecksTheListOfRemovedFilesAsHealingReadsIt) {
    const std::string manifestSha = Sha256Sum(content_ / "client/client.manifest");
    const std::string url = server_->Url("/client/client.removed");
    const struct {
        std::string text;   // client.removed as served
        std::string listed; // the SHA-256 the list gives, or that of `text`
        std::string out;    // on the list's second line
    } cases[] = {
        {"//client-removed 1\n1 2 old/notes.txt\n", "", "info: list of removed files: 1 name\n"},
        {"//client-removed 1\n1 2 data/a.pak\n", "",
         "the list of removed files names 'data/a.pak', which the client manifest holds: healing keeps it\n"},
        {"//client-removed 1\n", std::string(64, 'c'),
         "the list of removed files cannot be downloaded: SHA-256 mismatch\n"},
    };
    for (const auto& c : cases) {
        const std::string served = content_.Write("client/client.removed", c.text);
        const std::string list = work_.Write(
            "list.txt", "//client " + ManifestUrl() + " " + manifestSha + " 0\r\n//client-removed " + url +
                            " " + (c.listed.empty() ? Sha256Sum(served) : c.listed) + "\r\n");
        const ProgramResult r = Patchctl("lint " + Quoted(list) + " --fetch");
        const bool clean = c.out.rfind("info:", 0) == 0;
        EXPECT_EQ(r.out, list + ":1: info: client manifest: 2 files agree with the directory of " +
                             server_->Url("/client/client.zip") + "\n" + list + ":2: " + c.out + list +
                             ": 0 rows, " + (clean ? "0 problems" : "1 problem") + "\n")
            << c.text;
        EXPECT_EQ(r.exitCode, clean ? 0 : 1) << c.text;
    }
}

// A row published after the client line is not in the snapshot: publish warns, lint --fetch reports it until
// a snapshot of the release is published.
TEST_F(LintClientFetch, RowsThatTheSnapshotPredatesAreWarnedOfAndReported) {
    const std::string list = work_ / "list.txt";
    const auto setClient = [&] {
        Patchctl("publish " + Quoted(list) + " --client " + Quoted(content_ / "client/client.manifest") +
                 " " + ManifestUrl());
    };
    setClient();
    const std::string archive =
        content_.Write("p1.zip", pc::test::ZipBuilder().Stored("new.txt", "new\n").Build());
    EXPECT_EQ(
        Patchctl("publish " + Quoted(list) + " " + Quoted(archive) + " " + server_->Url("/p1.zip")).err,
        "patchctl publish: warning: the client snapshot predates this patch; publish a snapshot of this "
        "release: patchctl snapshot CLIENT_DIR OUTDIR, then patchctl publish LIST --client "
        "OUTDIR/client.manifest URL\n");
    EXPECT_NE(Patchctl("lint " + Quoted(list) + " --fetch")
                  .out.find(list +
                            ":2: the client snapshot predates patch 1 (it holds the patches up to 0): "
                            "installations that apply it cannot be checked or repaired; publish a snapshot "
                            "of this release: patchctl snapshot, then patchctl publish --client\n"),
              std::string::npos);
    setClient();
    EXPECT_EQ(Patchctl("lint " + Quoted(list) + " --fetch").exitCode, 0);
}

} // namespace
