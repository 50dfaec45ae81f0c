#include "framework/console.h"
#include "framework/exceptions.h"
#include "framework/version.h"
#include "tools/patchctl/arguments.h"
#include "tools/patchctl/command.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

struct Command {
    CommandSyntax syntax;
    int (*run)(const Arguments& args);
};

const OptionSyntax kOnFailure = {"--on-failure",
                                 "abort|ignore|retry-once",
                                 "the answer to a failed entry (default abort)",
                                 {"abort", "ignore", "retry-once"},
                                 "failure policy"};
const OptionSyntax kLimitRate = {"--limit-rate", "RATE",
                                 "the most bytes per second to download, e.g. 2M or 500K (default the "
                                 "installation's setting)"};

// Every command, its command line and its help; `patchctl COMMAND --help` prints the usage lines of the
// entries named COMMAND, then their help. A command of several entries ("config decode", "config
// encode") takes its sub-command as its first argument.
const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {.syntax = {.name = "config decode",
                    .usage = "config decode FILE",
                    .description = "Prints the values of the Config.ini FILE as the launcher takes them, one "
                                   "key=value line each.\n",
                    .positionals = {"FILE"},
                    .fewestPositionals = 1,
                    .exits =
                        "Exit 0 done, 1 the file is missing, damaged or cannot be read, 2 bad arguments.\n"},
         .run = &RunConfigDecode},
        {.syntax =
             {.name = "config encode",
              .usage = "config encode [--key HH] [-o FILE] < PLAIN",
              .description =
                  "Reads key=value lines (the eight keys once each, patchlist_key optional, any number of\n"
                  "patchlist_mirror lines; blank lines and # comments ignored) and writes the launcher's\n"
                  "scrambled Config.ini.\n",
              .options = {{"--key", "HH",
                           "the scrambling key in two hexadecimal digits (default: one that reads back)"},
                          {"-o", "FILE",
                           "writes FILE through a temporary file, so that a refused input leaves it alone\n"
                           "(without -o the file goes to stdout)"}},
              .exits =
                  "Exit 0 done, 1 the file cannot be written, 2 bad input or arguments (nothing written).\n"},
         .run = &RunConfigEncode},
        {.syntax = {.name = "extract",
                    .usage = "extract ARCHIVE DESTDIR [--on-failure abort|ignore|retry-once] [--overwrite "
                             "always|never|newer|older] "
                             "[--password TEXT]",
                    .description = "Unpacks ARCHIVE into DESTDIR exactly as the launcher would, with the "
                                   "launcher's settings.\n",
                    .options = {kOnFailure,
                                {"--overwrite",
                                 "always|never|newer|older",
                                 "which existing files are replaced (default always)",
                                 {"always", "never", "newer", "older"},
                                 "overwrite mode"},
                                {"--password", "TEXT", "for encrypted entries"}},
                    .positionals = {"ARCHIVE", "DESTDIR"},
                    .fewestPositionals = 2,
                    .exits = "Exit 0 every entry written, 1 some failed, 2 the archive does not open or bad "
                             "arguments.\n"},
         .run = &RunExtract},
        {.syntax =
             {.name = "keygen",
              .usage = "keygen KEY.pem",
              .description =
                  "Writes a new ECDSA P-256 signing key to KEY.pem (mode 0600; an existing file is never\n"
                  "overwritten) and prints the patchlist_key= line for config encode.\n",
              .positionals = {"KEY.pem"},
              .fewestPositionals = 1,
              .exits = "Exit 0 done, 1 cannot write, 2 bad arguments or the file exists.\n"},
         .run = &RunKeygen},
        {.syntax = {.name = "lint",
                    .usage = "lint FILE|URL [--fetch] [--sig --config CONFIG.ini]",
                    .description = "Checks a patch list by the launcher's reading rules and reports every "
                                   "problem with its line.\n"
                                   "A URL is downloaded first and checked as players get it.\n",
                    .options = {{"--fetch", "",
                                 "also downloads and tests every archive a new installation fetches"},
                                {"--sig", "",
                                 "checks the list's signatures against the statement of trust beside it "
                                 "(FILE.trust),\n"
                                 "walked from the key in CONFIG.ini, and tells how many verified and how "
                                 "many are needed"},
                                {"--config", "CONFIG.ini",
                                 "the Config.ini whose patchlist_key --sig checks against"}},
                    .positionals = {"FILE|URL"},
                    .fewestPositionals = 1,
                    .together = {{"--sig", "--config"}},
                    .exits = "Exit 0 clean, 1 problems found, 2 bad arguments.\n"},
         .run = &RunLint},
        {.syntax = {.name = "list",
                    .usage = "list ARCHIVE",
                    .description = "Prints the archive's directory as the launcher reads it: method, packed "
                                   "and unpacked size,\n"
                                   "CRC-32, time, attributes and name, one TAB-separated line per entry; "
                                   "then a delta patch's\n"
                                   "deltas, removals and companion, one line each.\n",
                    .positionals = {"ARCHIVE"},
                    .fewestPositionals = 1,
                    .exits = "Exit 0 done, 1 the listing cannot be written, 2 the archive does not open or "
                             "bad arguments.\n"},
         .run = &RunList},
        {.syntax = {.name = "pack",
                    .usage = "pack OLD NEW OUT.zip [--all | --delta] [--keep-removed] [--force] | pack --all "
                             "NEW OUT.zip "
                             "[--force]",
                    .description =
                        "Writes the patch archive that turns the tree OLD into the tree NEW: every file NEW "
                        "adds or\n"
                        "changes, the folders they need, and the removal of the files NEW lacks.\n",
                    .options = {{"--all", "", "every file of NEW (a full patch)"},
                                {"--delta", "",
                                 "changed files as binary deltas where smaller; writes OUT-full.zip beside "
                                 "OUT.zip, to upload "
                                 "beside it"},
                                {"--keep-removed", "",
                                 "leaves the files NEW lacks in place (lists them on stderr)"},
                                {"--force", "", "replaces an existing OUT.zip (otherwise refused)"}},
                    .positionals = {"OLD", "NEW", "OUT.zip"},
                    .fewestPositionals = 2,
                    .exclusive = {{"--all", "--delta"}},
                    .exits = "Exit 0 written, 1 nothing changed between the trees or a write failed, 2 "
                             "refused (nothing\n"
                             "written).\n"},
         .run = &RunPack},
        {.syntax =
             {.name = "publish",
              .usage =
                  "publish LIST ARCHIVE URL [--id N] [--group G] [--run PROGRAM] [--available-from TIME] "
                  "[--rollout PERCENT] [--force] [--key KEY.pem | --unsigned] "
                  "[--dry-run] | publish LIST --client MANIFEST URL [--key KEY.pem | --unsigned] [--dry-run]",
              .description = "Appends ARCHIVE's row (id, URL, size, program, group, SHA-256) to the patch "
                             "list LIST after\n"
                             "checking LIST with lint's rules; the new list replaces the old one atomically. "
                             "With --client,\n"
                             "sets the list's one //client line instead: the URL and SHA-256 of a manifest "
                             "from snapshot.\n",
              .options =
                  {{"--id", "N", "the row's id (default: one above the highest listed)"},
                   {"--group", "G", "the row's group (default 0)"},
                   {"--run", "PROGRAM",
                    "the program run after the extraction, inside the installation (default none)"},
                   {"--available-from", "TIME",
                    "the release time (UTC, as 2026-12-10T18:00:00Z): launchers download the archive before\n"
                    "it and apply it from it on"},
                   {"--rollout", "PERCENT", "the share of installations (1 to 100) that take the row"},
                   {"--force", "", "publishes although the URL's last segment is not ARCHIVE's name"},
                   {"--key", "KEY.pem",
                    "signs the list afterwards (needed when LIST.sig exists); may be repeated"},
                   {"--unsigned", "", "publishes without a key and removes an existing LIST.sig"},
                   {"--dry-run", "", "prints the row and changes nothing"},
                   {"--client", "MANIFEST",
                    "names the client manifest at URL (made by snapshot, its archive beside it) in place of\n"
                    "a row"}},
              .positionals = {"LIST", "ARCHIVE", "URL"},
              .fewestPositionals = 2,
              .exclusive = {{"--key", "--unsigned"}},
              .exits = "Exit 0 done, 1 refused (the list is unchanged), 2 bad arguments.\n"},
         .run = &RunPublish},
        {.syntax = {.name = "sign",
                    .usage = "sign LIST --key KEY.pem [--key KEY.pem...] [--expires DAYS]",
                    .description =
                        "Stamps LIST with its next serial (a //serial line) and writes LIST.sig, the "
                        "ECDSA signature\n"
                        "over LIST's exact bytes (the openssl tool's format); with several keys, one "
                        "signature line per\n"
                        "key, as many as the statement of trust's threshold asks for.\n",
                    .options = {{"--key",
                                 "KEY.pem",
                                 "a private key that signs (made by keygen); may be repeated",
                                 {},
                                 {},
                                 true},
                                {"--expires", "DAYS",
                                 "launchers refuse the list after DAYS days (a //expires line)"}},
                    .positionals = {"LIST"},
                    .fewestPositionals = 1,
                    .exits =
                        "Exit 0 signed, 1 the key or the list cannot be read or the list cannot be stamped,\n"
                        "2 bad arguments.\n"},
         .run = &RunSign},
        {.syntax =
             {.name = "snapshot",
              .usage = "snapshot CLIENT_DIR OUTDIR [--key KEY.pem] [--force]",
              .description =
                  "Writes OUTDIR/client.zip, every file and folder of CLIENT_DIR as pack --all packs them, "
                  "and\n"
                  "OUTDIR/client.manifest, each file's SHA-256, size, mode and name, by which installations\n"
                  "check their files and fetch the damaged ones alone (publish it with publish --client).\n",
              .options = {{"--key", "KEY.pem",
                           "also writes OUTDIR/client.manifest.sig, the manifest's signature"},
                          {"--force", "", "replaces an existing snapshot in OUTDIR (otherwise refused)"}},
              .positionals = {"CLIENT_DIR", "OUTDIR"},
              .fewestPositionals = 2,
              .exits =
                  "Exit 0 written, 1 a file cannot be read or written, 2 refused (nothing written) or bad\n"
                  "arguments.\n"},
         .run = &RunSnapshot},
        {.syntax =
             {.name = "trust init",
              .usage = "trust init TRUST --from OLD.pem --key KEY.pem... [--threshold T] [--expires DAYS]",
              .description =
                  "Writes TRUST, the statement of trust to publish beside the list (LIST.trust), with its "
                  "first\n"
                  "version after Config.ini's key: the keys that sign lists from now on and how many must.\n"
                  "Signed by Config.ini's key and by each new key.\n",
              .options =
                  {{"--from",
                    "OLD.pem",
                    "the private key whose public half Config.ini carries",
                    {},
                    {},
                    true},
                   {"--key", "KEY.pem", "a private key of the new version; may be repeated", {}, {}, true},
                   {"--threshold", "T",
                    "how many distinct keys must sign a list and the next version (default 1)"},
                   {"--expires", "DAYS", "launchers refuse the statement after DAYS days (default 365)"}},
              .positionals = {"TRUST"},
              .fewestPositionals = 1,
              .exits =
                  "Exit 0 written, 1 a key cannot be read or the file cannot be written, 2 bad arguments "
                  "or TRUST\n"
                  "exists.\n"},
         .run = &RunTrustInit},
        {.syntax =
             {.name = "trust rotate",
              .usage =
                  "trust rotate TRUST [--add KEY.pem...] [--remove KEY.pem...] [--threshold T] [--expires "
                  "DAYS] "
                  "--sign KEY.pem...",
              .description =
                  "Appends the next version to the statement of trust TRUST: its keys with --add and "
                  "--remove\n"
                  "applied (only public halves are stored). Refused unless the signing keys meet both the\n"
                  "threshold of the version before and the new version's own.\n",
              .options =
                  {{"--add", "KEY.pem", "a key to trust, private or public PEM; may be repeated"},
                   {"--remove", "KEY.pem", "a key to trust no more (a lost or leaked one); may be repeated"},
                   {"--threshold", "T", "the new version's threshold (default: the one before)"},
                   {"--expires", "DAYS", "launchers refuse the statement after DAYS days (default 365)"},
                   {"--sign",
                    "KEY.pem",
                    "a private key that signs the new version; may be repeated",
                    {},
                    {},
                    true}},
              .positionals = {"TRUST"},
              .fewestPositionals = 1,
              .exits =
                  "Exit 0 written, 1 refused (TRUST is unchanged) or a file cannot be read or written, 2 "
                  "bad\n"
                  "arguments.\n"},
         .run = &RunTrustRotate},
        {.syntax =
             {.name = "update",
              .usage = "update DIR [--on-failure abort|ignore|retry-once] [--limit-rate RATE]",
              .description =
                  "Runs the launcher's start-up and update for the installation in DIR, without a window.\n",
              .options = {kOnFailure, kLimitRate},
              .positionals = {"DIR"},
              .fewestPositionals = 1,
              .exits = "Exit 0 up to date, 1 the run ended early, 3 no usable Config.ini, 4 the list was "
                       "refused,\n"
                       "some patches could not be downloaded or entries were left out.\n"},
         .run = &RunUpdate},
        {.syntax =
             {.name = "verify",
              .usage = "verify DIR [--limit-rate RATE]",
              .description =
                  "Checks every file that the server's client manifest names in the installation in DIR and\n"
                  "prints 'damaged: NAME' or 'missing: NAME' for each that is not intact. Other files are "
                  "never\n"
                  "read.\n",
              .options = {kLimitRate},
              .positionals = {"DIR"},
              .fewestPositionals = 1,
              .exits =
                  "Exit 0 all intact, 1 some damaged or missing, 3 no usable Config.ini, 4 the list or the\n"
                  "manifest cannot be had, 5 the installation and the server's snapshot are of different\n"
                  "releases (nothing checked).\n"},
         .run = &RunVerify},
        {.syntax =
             {.name = "release",
              .usage = "release RELEASES NEW_TREE --list LIST --url BASE_URL [--key KEY.pem] [--deltas N] "
                       "[--expires DAYS] [--available-from TIME] [--rollout PERCENT]",
              .description =
                  "Makes NEW_TREE the next release n in RELEASES (folders 1, 2, 3, ... served at BASE_URL):\n"
                  "RELEASES/n/ gets its snapshot, a patch from release n-1 and a direct patch from each of "
                  "the\n"
                  "N releases before that, the old trees taken from their snapshots; LIST gets their rows "
                  "and\n"
                  "the client line, signed again with --key.\n",
              .options =
                  {{"--list",
                    "LIST",
                    "the patch list to add the release to (made when missing)",
                    {},
                    {},
                    true},
                   {"--url", "BASE_URL", "where RELEASES is served", {}, {}, true},
                   {"--key", "KEY.pem", "signs the list and the snapshot's manifest"},
                   {"--deltas", "N", "direct patches from the N releases before n-1 (default 8)"},
                   {"--expires", "DAYS", "launchers refuse the list after DAYS days (a //expires line)"},
                   {"--available-from", "TIME",
                    "the release time (UTC, as 2026-12-10T18:00:00Z) of every row of this release"},
                   {"--rollout", "PERCENT", "the share of installations (1 to 100) that take them"}},
              .positionals = {"RELEASES", "NEW_TREE"},
              .fewestPositionals = 2,
              .exits = "Exit 0 released, 1 nothing changed or a file cannot be read or written, 2 refused\n"
                       "(nothing written) or bad arguments.\n"},
         .run = &RunRelease},
        {.syntax = {.name = "repair",
                    .usage = "repair DIR [--limit-rate RATE]",
                    .description = "Verifies the installation in DIR, then fetches each damaged or missing "
                                   "file alone from the\n"
                                   "server's client archive and puts it in place. The ledger of applied "
                                   "patches is not changed.\n",
                    .options = {kLimitRate},
                    .positionals = {"DIR"},
                    .fewestPositionals = 1,
                    .exits =
                        "Exit 0 every file is whole, 1 some could not be repaired, 3 no usable "
                        "Config.ini, 4 the list or\n"
                        "the manifest cannot be had, 5 the installation and the server's snapshot are of\n"
                        "different releases (update first, or the snapshot is older; nothing changed).\n"},
         .run = &RunRepair},

    };
    return commands;
}

std::string FirstWord(std::string_view name) {
    return std::string(name.substr(0, name.find(' ')));
}

// The entries of the command `word`, in the table's order.
std::vector<const Command*> EntriesOf(const std::string& word) {
    std::vector<const Command*> entries;
    for (const Command& command : Commands())
        if (FirstWord(command.syntax.name) == word)
            entries.push_back(&command);
    return entries;
}

void PrintCommandList(std::FILE* to) {
    std::fputs("usage: patchctl COMMAND ...   (patchctl COMMAND --help, patchctl --version)\n", to);
    for (const Command& command : Commands())
        std::fprintf(to, "  patchctl %s\n", std::string(command.syntax.usage).c_str());
}

int Usage() {
    PrintCommandList(stderr);
    return 2;
}

int PrintVersion() {
    std::printf("patchctl %s\n", ProgramVersion());
    return 0;
}

int PrintUsageError(const CommandSyntax& syntax, const std::string& message) {
    std::fputs(UsageErrorText(syntax, message).c_str(), stderr);
    return 2;
}

// The usage lines of all the command's entries, then the help of each.
int PrintHelp(const std::vector<const Command*>& entries) {
    std::string usage, help;
    for (const Command* entry : entries) {
        usage += (usage.empty() ? "" : " | ") + std::string(entry->syntax.usage);
        help += (help.empty() ? "" : "\n") + HelpText(entry->syntax);
    }
    std::printf("usage: patchctl %s\n%s", usage.c_str(), help.c_str());
    return 0;
}

// --help and --version are answered here for every command, before its own arguments are read.
bool AsksFor(const std::vector<std::string>& args, const char* option) {
    const auto optionsEnd = std::find(args.begin(), args.end(), "--");
    return std::find(args.begin(), optionsEnd, option) != optionsEnd;
}

int RunCommand(const std::string& word, std::vector<std::string> args) {
    const std::vector<const Command*> entries = EntriesOf(word);
    if (entries.empty())
        return Usage();
    if (AsksFor(args, "--help"))
        return PrintHelp(entries);
    if (AsksFor(args, "--version"))
        return PrintVersion();

    const Command* command = entries.front();
    if (command->syntax.name != word) {
        // A command of sub-commands: the first argument picks the entry.
        std::string names, usage;
        for (const Command* entry : entries) {
            const std::string sub = std::string(entry->syntax.name.substr(word.size() + 1));
            names += (names.empty() ? "" : " or ") + sub;
            usage += (usage.empty() ? "" : " | ") + std::string(entry->syntax.usage);
            if (!args.empty() && args.front() == sub)
                command = entry;
        }
        const CommandSyntax whole = {word, usage, {}, {}, {}, 0};
        if (args.empty())
            return PrintUsageError(whole, names + " is needed");
        if (command->syntax.name != word + " " + args.front())
            return PrintUsageError(whole, "unknown sub-command '" + args.front() + "'");
        args.erase(args.begin());
    }

    const ParseResult parsed = ParseArguments(command->syntax, args);
    if (!parsed.arguments)
        return PrintUsageError(command->syntax, parsed.usageError);
    try {
        return command->run(*parsed.arguments);
    } catch (const UsageError& e) {
        return PrintUsageError(command->syntax, e.what());
    } catch (const pc::Exception& e) {
        std::fprintf(stderr, "%s\n", pc::ErrorReportText(e).c_str());
        return 1;
    }
}

} // namespace
} // namespace pc::patchctl

int main(int argc, char** argv) {
    using namespace pc::patchctl;
    pc::PrepareConsoleOutput();
    if (argc < 2)
        return Usage();
    const std::string first = argv[1];
    if (first == "--help") {
        PrintCommandList(stdout);
        return 0;
    }
    if (first == "--version")
        return PrintVersion();
    return RunCommand(first, std::vector<std::string>(argv + 2, argv + argc));
}
