#include "framework/console.h"
#include "framework/exceptions.h"
#include "framework/version.h"
#include "tools/patchctl/command.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace pc::patchctl {
namespace {

struct Entry {
    std::string usage;
    Handler handler;
};

std::map<std::string, Entry>& Commands() {
    static std::map<std::string, Entry> commands;
    return commands;
}

// What `patchctl COMMAND --help` prints after the command's usage line: what it does, its options and its
// exit statuses. The usage line itself is the one the command registers, so that its own error messages
// and its help never disagree.
const std::map<std::string, const char*> kHelpTexts = {
    {"config",
     "Reads and writes the launcher's scrambled Config.ini.\n"
     "  decode FILE    prints the values as the launcher takes them, one key=value line each\n"
     "  encode         reads key=value lines (the eight keys once each, patchlist_key optional;\n"
     "                 blank lines and # comments ignored) and writes the file\n"
     "  -o FILE        writes FILE through a temporary file, so that a refused input leaves it alone\n"
     "                 (without -o the file goes to stdout)\n"
     "  --key HH       the scrambling key in two hexadecimal digits (default: one that reads back)\n"
     "Exit 0 done, 1 the file cannot be read or written, 2 bad input (nothing written).\n"},
    {"extract",
     "Unpacks ARCHIVE into DESTDIR exactly as the launcher would, with the launcher's settings.\n"
     "  --on-failure abort|ignore|retry-once   the answer to a failed entry (default abort)\n"
     "  --overwrite always|never|newer|older   which existing files are replaced (default always)\n"
     "  --password TEXT                        for encrypted entries\n"
     "Exit 0 every entry written, 1 some failed, 2 the archive does not open or bad options.\n"},
    {"keygen", "Writes a new ECDSA P-256 signing key to KEY.pem (mode 0600; an existing file is never\n"
               "overwritten) and prints the patchlist_key= line for config encode.\n"
               "Exit 0 done, 1 cannot write, 2 bad arguments or the file exists.\n"},
    {"lint",
     "Checks a patch list by the launcher's reading rules and reports every problem with its line.\n"
     "A URL is downloaded first and checked as players get it.\n"
     "  --fetch                     also downloads and tests every archive a new installation fetches\n"
     "  --sig --config CONFIG.ini   checks the list's signature against the key in CONFIG.ini\n"
     "Exit 0 clean, 1 problems found, 2 bad arguments.\n"},
    {"list", "Prints the archive's directory as the launcher reads it: method, packed and unpacked size,\n"
             "CRC-32, time, attributes and name, one TAB-separated line per entry.\n"
             "Exit 0 done, 1 the archive does not open.\n"},
    {"pack", "Writes the patch archive that turns the tree OLD into the tree NEW: every file NEW adds or\n"
             "changes, and the folders they need.\n"
             "  --all     every file of NEW (a full patch)\n"
             "  --force   replaces an existing OUT.zip (otherwise refused)\n"
             "Exit 0 written, 1 nothing changed between the trees or a write failed, 2 refused (nothing\n"
             "written).\n"},
    {"publish",
     "Appends ARCHIVE's row (id, URL, size, program, group, SHA-256) to the patch list LIST after\n"
     "checking LIST with lint's rules; the new list replaces the old one atomically.\n"
     "  --id N, --group G, --run PROGRAM   the row's fields (default: next id, group 0, no program)\n"
     "  --force      publishes although the URL's last segment is not ARCHIVE's name\n"
     "  --key KEY.pem    signs the list afterwards (needed when LIST.sig exists)\n"
     "  --unsigned   publishes without a key and removes an existing LIST.sig\n"
     "  --dry-run    prints the row and changes nothing\n"
     "Exit 0 done, 1 refused (the list is unchanged), 2 bad arguments.\n"},
    {"sign", "Stamps LIST with its next serial (a //serial line) and writes LIST.sig, the ECDSA signature\n"
             "over LIST's exact bytes (the openssl tool's format).\n"
             "  --expires DAYS   launchers refuse the list after DAYS days (a //expires line)\n"
             "Exit 0 signed, 1 the key or the list cannot be read or the list cannot be stamped,\n"
             "2 bad arguments.\n"},
    {"update", "Runs the launcher's start-up and update for the installation in DIR, without a window.\n"
               "  --on-failure abort|ignore|retry-once   the answer to a failed entry (default abort)\n"
               "Exit 0 up to date, 1 the run ended early, 3 no usable Config.ini, 4 the list was refused,\n"
               "some patches could not be downloaded or entries were left out.\n"},
};

void PrintCommandList(std::FILE* to) {
    std::fputs("usage: patchctl COMMAND ...   (patchctl COMMAND --help, patchctl --version)\n", to);
    for (const auto& [name, entry] : Commands())
        std::fprintf(to, "  patchctl %s\n", entry.usage.c_str());
}

int Usage() {
    PrintCommandList(stderr);
    return 2;
}

int PrintVersion() {
    std::printf("patchctl %s\n", ProgramVersion());
    return 0;
}

// --help and --version are answered here for every command, before its own arguments are read.
std::optional<int> AnswerInformationRequest(const std::string& name, const Entry& entry,
                                            const std::vector<std::string>& args) {
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        const auto text = kHelpTexts.find(name);
        std::printf("usage: patchctl %s\n%s", entry.usage.c_str(),
                    text == kHelpTexts.end() ? "" : text->second);
        return 0;
    }
    if (std::find(args.begin(), args.end(), "--version") != args.end())
        return PrintVersion();
    return std::nullopt;
}

} // namespace

Registration::Registration(const char* name, const char* usage, Handler handler) {
    Commands()[name] = Entry{usage, handler};
}

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
    auto it = Commands().find(first);
    if (it == Commands().end())
        return Usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    if (const auto answered = AnswerInformationRequest(it->first, it->second, args))
        return *answered;
    try {
        return it->second.handler(args);
    } catch (const pc::Exception& e) {
        std::fprintf(stderr, "%s\n", pc::WithClosingPeriod(e.Message()).c_str());
        return 1;
    }
}
