// The declarative command-line reader that every patchctl command goes through: what each argument list
// gives, or the one usage error it gets.
#include "tools/patchctl/arguments.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace {

using pc::patchctl::Arguments;
using pc::patchctl::CommandSyntax;
using pc::patchctl::ParseArguments;

// A command with every kind of declaration the real ones use.
const CommandSyntax kSyntax = {
    "demo",
    "demo SOURCE TARGET [EXTRA] [--mode fast|slow] [--key KEY] [--plain] [--sig --config FILE] --name N",
    "Does nothing.\n",
    {{"--mode", "fast|slow", "how", {"fast", "slow"}, "mode"},
     {"--key", "KEY", "a key"},
     {"--plain", "", "no key"},
     {"--sig", "", "checks"},
     {"--config", "FILE", "against FILE"},
     {"-o", "FILE", "short"},
     {"--name", "N", "needed", {}, {}, true}},
    {"SOURCE", "TARGET", "EXTRA"},
    2,
    {{"--key", "--plain"}},
    {{"--sig", "--config"}},
    "Exit 0.\n"};

// What a parse gave, in one line: the positionals, then each option given with its value.
std::string Shown(const Arguments& args) {
    std::ostringstream out;
    for (const std::string& positional : args.Positionals())
        out << "[" << positional << "]";
    for (const char* option : {"--mode", "--key", "--plain", "--sig", "--config", "-o", "--name"})
        if (args.Has(option))
            out << " " << option << "=" << args.Value(option).value_or("(flag)");
    return out.str();
}

TEST(PatchctlArguments, ReadsEachListOrGivesItsOneUsageError) {
    struct Case {
        std::vector<std::string> args;
        std::string parsed; // empty when refused
        std::string error;
    } cases[] = {
        // Options anywhere, with "--name value" or "--name=value"; the last of a repeat wins.
        {{"a", "--name", "n", "b"}, "[a][b] --name=n", ""},
        {{"--name=n", "a", "b", "c", "--mode", "slow"}, "[a][b][c] --mode=slow --name=n", ""},
        {{"a", "b", "--name", "x", "--name", "y", "--key=k=v"}, "[a][b] --key=k=v --name=y", ""},
        {{"a", "b", "--name", "--plain"}, "[a][b] --name=--plain", ""}, // a value is the next argument
        {{"a", "b", "--name", ""}, "[a][b] --name=", ""},
        {{"a", "b", "--name", "n", "-o", "out", "--plain"}, "[a][b] --plain=(flag) -o=out --name=n", ""},
        {{"a", "b", "--name", "n", "--sig", "--config", "c"}, "[a][b] --sig=(flag) --config=c --name=n", ""},
        // A lone '-' is an argument; after "--" everything is.
        {{"-", "b", "--name", "n"}, "[-][b] --name=n", ""},
        {{"--name", "n", "--", "-a", "--plain"}, "[-a][--plain] --name=n", ""},
        {{"a", "b", "--help"}, "", "unknown option '--help'"},
        {{"a", "b", "-x", "--name", "n"}, "", "unknown option '-x'"},
        {{"a", "b", "--bogus=1"}, "", "unknown option '--bogus'"},
        {{"-o=x", "a", "b"}, "", "unknown option '-o=x'"}, // '=' joins long options only
        {{"a", "b", "--plain=yes"}, "", "--plain takes no value"},
        {{"a", "b", "--name"}, "", "--name needs a value"},
        {{"a", "b", "--name", "n", "--mode", "quick"}, "", "unknown mode 'quick'"},
        {{"a", "b", "--name", "n", "--mode="}, "", "unknown mode ''"},
        {{"a", "b", "c", "d"}, "", "unexpected argument 'd'"},
        {{"a", "", "--name", "n"}, "", "empty argument for TARGET"},
        {{"a", "b", "c", ""}, "", "unexpected argument ''"},
        {{"a", "--name", "n"}, "", "SOURCE, TARGET and EXTRA are needed"},
        {{"a", "b", "--key", "k", "--plain", "--name", "n"}, "", "--key and --plain exclude each other"},
        {{"a", "b", "--sig", "--name", "n"}, "", "--sig and --config go together"},
        {{"a", "b", "--config", "c", "--name", "n"}, "", "--sig and --config go together"},
        {{"a", "b"}, "", "--name N is needed"},
        // The first fault found is the one reported.
        {{"--bogus", "a", "b", "c", "d"}, "", "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.args)
            line += "'" + arg + "' ";
        const auto result = ParseArguments(kSyntax, c.args);
        if (c.parsed.empty()) {
            EXPECT_FALSE(result.arguments.has_value()) << line;
            EXPECT_EQ(result.usageError, c.error) << line;
        } else {
            ASSERT_TRUE(result.arguments.has_value()) << line << result.usageError;
            EXPECT_EQ(Shown(*result.arguments), c.parsed) << line;
            EXPECT_EQ(result.usageError, "") << line;
        }
    }
}

TEST(PatchctlArguments, OneWordingForEveryUsageErrorAndHelpFromTheSameTable) {
    EXPECT_EQ(pc::patchctl::UsageErrorText(kSyntax, "--name N is needed"),
              "patchctl demo: --name N is needed\nusage: patchctl " + std::string(kSyntax.usage) + "\n");
    EXPECT_EQ(pc::patchctl::HelpText(kSyntax), "Does nothing.\n"
                                               "  --mode fast|slow   how\n"
                                               "  --key KEY          a key\n"
                                               "  --plain            no key\n"
                                               "  --sig              checks\n"
                                               "  --config FILE      against FILE\n"
                                               "  -o FILE            short\n"
                                               "  --name N           needed\n"
                                               "Exit 0.\n");
    const CommandSyntax wrapped = {"w", "w", "", {{"--long", "", "first\nsecond"}}, {}, 0};
    EXPECT_EQ(pc::patchctl::HelpText(wrapped), "  --long   first\n"
                                               "           second\n");
}

// A command asking for an option it never declared would silently see it absent: that is the program's
// fault and shows at once.
TEST(PatchctlArguments, AnUndeclaredOptionIsAFaultOfTheProgram) {
    const auto result = ParseArguments(kSyntax, {"a", "b", "--name", "n"});
    ASSERT_TRUE(result.arguments.has_value());
    EXPECT_THROW(result.arguments->Has("--nmae"), std::logic_error);
    EXPECT_THROW(result.arguments->Value("--keys"), std::logic_error);
}

} // namespace
