// --help and --version of both programs and of every patchctl command: on stdout, exit 0, nothing else
// done (a command's help never opens a file named "--help").
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::RunProgram;
using pc::test::TempDir;

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

TEST(PatchctlHelp, EveryCommandAnswersHelpAndVersion) {
    const std::string version = std::string("patchctl ") + PATCH_PROJECT_VERSION + "\n";
    struct Case {
        std::string args;
        std::string firstLine;
    } cases[] = {
        {"--help", "usage: patchctl COMMAND ...   (patchctl COMMAND --help, patchctl --version)"},
        {"config --help", "usage: patchctl config decode FILE | config encode [--key HH] [-o FILE] < PLAIN"},
        {"config encode --help",
         "usage: patchctl config decode FILE | config encode [--key HH] [-o FILE] < PLAIN"},
        {"extract --help", "usage: patchctl extract ARCHIVE DESTDIR [--on-failure abort|ignore|retry-once] "
                           "[--overwrite always|never|newer|older] [--password TEXT]"},
        {"keygen --help", "usage: patchctl keygen KEY.pem"},
        {"lint --help", "usage: patchctl lint FILE|URL [--fetch] [--sig --config CONFIG.ini]"},
        {"list --help", "usage: patchctl list ARCHIVE"},
        {"pack --help", "usage: patchctl pack OLD NEW OUT.zip [--all | --delta] [--keep-removed] [--force] | "
                        "pack --all NEW OUT.zip [--force]"},
        {"publish --help", "usage: patchctl publish LIST ARCHIVE URL [--id N] [--group G] [--run PROGRAM] "
                           "[--available-from TIME] [--rollout PERCENT] [--force] [--key KEY.pem | "
                           "--unsigned] [--dry-run] | publish LIST --client "
                           "MANIFEST URL [--key KEY.pem | --unsigned] [--dry-run]"},
        {"sign --help", "usage: patchctl sign LIST --key KEY.pem [--key KEY.pem...] [--expires DAYS]"},
        {"snapshot --help", "usage: patchctl snapshot CLIENT_DIR OUTDIR [--key KEY.pem] [--force]"},
        {"trust --help", "usage: patchctl trust init TRUST --from OLD.pem --key KEY.pem... [--threshold T] "
                         "[--expires DAYS] | trust rotate TRUST [--add KEY.pem...] [--remove KEY.pem...] "
                         "[--threshold T] [--expires DAYS] --sign KEY.pem..."},
        {"update --help",
         "usage: patchctl update DIR [--on-failure abort|ignore|retry-once] [--limit-rate RATE]"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        // Run in an empty folder: a command that took "--help" for a file would make or miss it there.
        const ProgramResult help =
            RunProgram("cd " + Quoted(dir.Path()) + " && " + Quoted(PATCHCTL_PATH) + " " + c.args);
        EXPECT_EQ(help.exitCode, 0) << c.args;
        EXPECT_EQ(FirstLine(help.out), c.firstLine) << c.args;
        EXPECT_EQ(help.err, "") << c.args;
        // The general help lists every command, each command's help says more than its usage line.
        EXPECT_GT(std::count(help.out.begin(), help.out.end(), '\n'), 2) << c.args;

        std::string versionArgs = c.args;
        versionArgs.replace(versionArgs.find("--help"), 6, "--version");
        const ProgramResult shown = Patchctl(versionArgs);
        EXPECT_EQ(shown.exitCode, 0) << versionArgs;
        EXPECT_EQ(shown.out, version) << versionArgs;
        EXPECT_EQ(shown.err, "") << versionArgs;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

    // Without a command, or with one it does not know, the list goes to stderr with exit 2.
    for (const char* args : {"", "frobnicate --help"}) {
        const ProgramResult wrong = Patchctl(args);
        EXPECT_EQ(wrong.exitCode, 2) << args;
        EXPECT_EQ(wrong.out, "") << args;
        EXPECT_EQ(FirstLine(wrong.err), cases[0].firstLine) << args;
    }
}

// Each command's declaration in the table: what it needs, what excludes what, and how `config` picks its
// sub-command. The wording itself is the parser's, the same for all.
TEST(PatchctlHelp, EveryCommandRefusesABadLineInTheSameWords) {
    const std::string config = "config decode FILE | config encode [--key HH] [-o FILE] < PLAIN";
    const struct {
        const char* args;
        std::string error;
        std::string usage;
    } cases[] = {
        {"config", "config: decode or encode is needed", config},
        {"config frob", "config: unknown sub-command 'frob'", config},
        {"config decode", "config decode: FILE is needed", "config decode FILE"},
        {"config encode x", "config encode: unexpected argument 'x'",
         "config encode [--key HH] [-o FILE] < PLAIN"},
        {"keygen", "keygen: KEY.pem is needed", "keygen KEY.pem"},
        {"keygen ''", "keygen: empty argument for KEY.pem", "keygen KEY.pem"},
        {"lint list.txt --sig", "lint: --sig and --config go together",
         "lint FILE|URL [--fetch] [--sig --config CONFIG.ini]"},
        {"list a b", "list: unexpected argument 'b'", "list ARCHIVE"},
        {"pack a b", "pack: OLD, NEW and OUT.zip are needed",
         "pack OLD NEW OUT.zip [--all | --delta] [--keep-removed] [--force] | pack --all NEW OUT.zip "
         "[--force]"},
        {"publish l a u --key k --unsigned", "publish: --key and --unsigned exclude each other",
         "publish LIST ARCHIVE URL [--id N] [--group G] [--run PROGRAM] [--available-from TIME] "
         "[--rollout PERCENT] [--force] [--key KEY.pem | "
         "--unsigned] "
         "[--dry-run] | publish LIST --client MANIFEST URL [--key KEY.pem | --unsigned] [--dry-run]"},
        {"publish l a", "publish: LIST, ARCHIVE and URL are needed",
         "publish LIST ARCHIVE URL [--id N] [--group G] [--run PROGRAM] [--available-from TIME] "
         "[--rollout PERCENT] [--force] [--key KEY.pem | "
         "--unsigned] [--dry-run] | publish LIST --client MANIFEST URL [--key KEY.pem | --unsigned] "
         "[--dry-run]"},
        {"sign list.txt", "sign: --key KEY.pem is needed",
         "sign LIST --key KEY.pem [--key KEY.pem...] [--expires DAYS]"},
        {"trust rotate t", "trust rotate: --sign KEY.pem is needed",
         "trust rotate TRUST [--add KEY.pem...] [--remove KEY.pem...] [--threshold T] [--expires DAYS] "
         "--sign KEY.pem..."},
        {"snapshot a", "snapshot: CLIENT_DIR and OUTDIR are needed",
         "snapshot CLIENT_DIR OUTDIR [--key KEY.pem] [--force]"},
        {"update", "update: DIR is needed",
         "update DIR [--on-failure abort|ignore|retry-once] [--limit-rate RATE]"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const ProgramResult r =
            RunProgram("cd " + Quoted(dir.Path()) + " && " + Quoted(PATCHCTL_PATH) + " " + c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err, "patchctl " + c.error + "\nusage: patchctl " + c.usage + "\n") << c.args;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

#ifdef PATCH_CLIENT_PATH
// The launcher answers before it makes its window: no display is needed, and no Config.ini is read.
TEST(PatchClientOptions, HelpAndVersionWithoutADisplay) {
    TempDir dir;
    const std::string run = "cd " + Quoted(dir.Path()) + " && env -u DISPLAY -u WAYLAND_DISPLAY " +
                            Quoted(PATCH_CLIENT_PATH) + " ";
    const ProgramResult help = RunProgram(run + "--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(FirstLine(help.out), "usage: patch-client [--help | --version]");
    EXPECT_EQ(help.err, "");
    const ProgramResult version = RunProgram(run + "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("patch-client ") + PATCH_PROJECT_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}
#endif

} // namespace
