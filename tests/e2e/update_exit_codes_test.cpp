// The exit status of patchctl update for each way a run can end, with what it says on stderr: a run that
// went through without applying all it was asked for is not a success.
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

TEST(UpdateExitCodes, ForEveryEnding) {
    TempDir content;
    TempDir keys;
    pc::test::NginxServer server(content.Path());
    const ProgramResult made = Patchctl("keygen " + Quoted(keys / "realm.pem"));
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string keyLine = made.out;
    ASSERT_EQ(Patchctl("keygen " + Quoted(keys / "other.pem")).exitCode, 0);

    const std::string good = ZipBuilder().Deflated("good.txt", "good").Build();
    content.Write("good.zip", good);
    pc::test::ZipEntryDef damaged;
    damaged.name = "bad.txt";
    damaged.data = "damaged";
    damaged.centralCrc = 0xDEADBEEF;
    content.Write("damaged.zip", ZipBuilder().Deflated("fine.txt", "fine").Add(damaged).Build());
    pc::test::ZipEntryDef locked;
    locked.name = "locked.txt";
    locked.data = "secret";
    locked.password = "pw";
    content.Write("locked.zip", ZipBuilder().Add(locked).Build());
    const auto row = [&](int id, const std::string& name, bool pinned) {
        std::string sha;
        if (pinned)
            sha = pc::test::RunProgram("sha256sum " + Quoted(content / name)).out.substr(0, 64);
        return std::to_string(id) + "\t" + server.Url("/" + name) + "\t100\t\t0\t" + sha + "\r\n";
    };
    const std::string failure =
        "ZipArchiver: Invalid size or check sum of file or unsupported compression "
        "format - Native error: 00008. File processing error, possibly disk is full\n";
    const std::string refused = "patchctl update: the patch list is refused: ";

    struct Case {
        const char* what;
        std::string list;
        const char* signer;  // the key the list is signed with; none: no signature
        bool keyed;          // Config.ini carries the realm's patchlist_key
        std::string serial;  // tqm_serial.ini before the run, when not empty
        std::string options; // after "update DIR"
        int exitCode;
        std::string err;
    } cases[] = {
        {"every patch applied", row(1, "good.zip", false), nullptr, false, "", "", 0, ""},
        {"signed, pinned, applied", "//serial 3\r\n" + row(1, "good.zip", true), "realm.pem", true, "3", "",
         0, ""},
        {"a row not downloadable", row(1, "missing.zip", false), nullptr, false, "", "", 4,
         "patchctl update: cannot download missing: HTTP status 404\n"},
        {"a signed row without SHA-256", "//serial 1\r\n" + row(1, "good.zip", false), "realm.pem", true, "",
         "", 4,
         "patchctl update: cannot download good: the signed list gives no SHA-256 for it, and a launcher "
         "with "
         "a patchlist_key downloads only archives whose SHA-256 the list gives\n"},
        {"no signature", row(1, "good.zip", true), nullptr, true, "", "", 4,
         refused + "its signature " + server.Url("/list.txt.sig") +
             " cannot be downloaded (HTTP status 404)\n"},
        {"a signature under another key", row(1, "good.zip", true), "other.pem", true, "", "", 4,
         refused + "its signature does not verify under the patchlist_key of Config.ini\n"},
        {"served again", "//serial 2\r\n" + row(1, "good.zip", true), "realm.pem", true, "3", "", 4,
         refused +
             "the signed list has serial 2, lower than serial 3 accepted before: it was served again\n"},
        {"a damaged entry left out", row(1, "damaged.zip", false), nullptr, false, "", "--on-failure ignore",
         4,
         failure + "patchctl update: 1 entry was left out of the extraction; its patch is recorded all the "
                   "same\n"},
        {"an entry without its password", row(1, "locked.zip", false), nullptr, false, "", "", 4,
         "patchctl update: Password for \"locked.txt\" not given or wrong; entry skipped\n"
         "patchctl update: 1 entry was left out of the extraction; its patch is recorded all the same\n"},
        {"a damaged entry aborts", row(1, "damaged.zip", false), nullptr, false, "", "", 1,
         failure +
             "patchctl update: the extraction was aborted; the patch is not recorded and the run ends\n"},
        {"a wrong command line", row(1, "good.zip", false), nullptr, false, "", "--on-failure never", 2,
         "patchctl update: unknown failure policy 'never'\n"
         "usage: patchctl update DIR [--on-failure abort|ignore|retry-once] [--limit-rate RATE]\n"},
    };
    for (const Case& c : cases) {
        TempDir install;
        const ProgramResult encoded = Patchctl(
            "config encode", pc::test::RealmConfig(server.Url("/news.html"), server.Url("/list.txt")) +
                                 (c.keyed ? keyLine : ""));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install.Write("Config.ini", encoded.out);
        if (!c.serial.empty())
            install.Write("tqm_serial.ini", c.serial + "\r\n");
        const std::string list = content.Write("list.txt", c.list);
        fs::remove(list + ".sig");
        if (c.signer) {
            const ProgramResult signature =
                pc::test::RunProgram("openssl dgst -sha256 -sign " + Quoted(keys / c.signer) + " -out " +
                                     Quoted(list + ".sig") + " " + Quoted(list));
            ASSERT_EQ(signature.exitCode, 0) << signature.err;
        }

        const ProgramResult r = Patchctl("update " + Quoted(install.Path()) + " " + c.options);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(r.err, c.err) << c.what;
    }

    // Without Config.ini the start-up's notice is all there is, with one status for every command that
    // works on an installation.
    TempDir empty;
    for (const char* command : {"update ", "verify ", "repair "}) {
        const ProgramResult r = Patchctl(command + Quoted(empty.Path()));
        EXPECT_EQ(r.exitCode, 3) << command;
        EXPECT_EQ(r.err, "Essential file missing: Config.ini\n") << command;
    }
}

} // namespace
