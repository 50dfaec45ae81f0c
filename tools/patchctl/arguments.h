// The command lines of patchctl's commands, described as data: every command takes its options and
// arguments by the same rules and reports a command line that does not fit in the same words.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pc::patchctl {

struct OptionSyntax {
    std::string_view name;  // "--key" or "-o"
    std::string_view value; // what the value is called in the help ("KEY.pem"); empty for a flag
    std::string_view help;
    // For an option that takes one of a few words: the words, and what a wrong one is called in the
    // error ("failure policy" gives "unknown failure policy 'x'").
    std::vector<std::string_view> choices = {};
    std::string_view choiceNoun = {};
    bool required = false;
};

struct CommandSyntax {
    std::string_view name;  // "extract", or "config encode" for a sub-command
    std::string_view usage; // the synopsis after "patchctl ", shown in errors and in --help
    std::string_view description;
    std::vector<OptionSyntax> options = {};
    std::vector<std::string_view> positionals = {}; // their names, in order
    std::size_t fewestPositionals = 0;              // the leading ones that must be given
    std::vector<std::pair<std::string_view, std::string_view>> exclusive = {}; // never both
    std::vector<std::pair<std::string_view, std::string_view>> together = {};  // both or neither
    std::string_view exits = {}; // the exit statuses, last in the help
};

struct ParseResult;

// A command line as its command takes it. Asking for an option the command does not declare is a fault
// of the program, not of the operator, and throws std::logic_error.
class Arguments {
public:
    explicit Arguments(const CommandSyntax& syntax) : syntax_(&syntax) {}

    bool Has(std::string_view option) const;
    // The option's value as given last; nothing when the option is not given (or is a flag).
    std::optional<std::string> Value(std::string_view option) const;
    // Every value the option was given, in order (for options that may be repeated, as --key).
    std::vector<std::string> Values(std::string_view option) const;
    const std::vector<std::string>& Positionals() const { return positionals_; }

private:
    friend ParseResult ParseArguments(const CommandSyntax&, const std::vector<std::string>&);
    void Declared(std::string_view option) const;

    const CommandSyntax* syntax_;
    std::map<std::string, std::vector<std::string>, std::less<>> given_; // flags with an empty value
    std::vector<std::string> positionals_;
};

struct ParseResult {
    std::optional<Arguments> arguments;
    std::string usageError; // set when `arguments` is not
};

// Reads `args` by `syntax`: options anywhere, "--name=value" as well as "--name value", "--" ending the
// options, the last of a repeated option winning (Values gives them all). Gives the first reason the line
// does not fit, if any.
ParseResult ParseArguments(const CommandSyntax& syntax, const std::vector<std::string>& args);

// A command's own finding that its command line does not fit (a value out of range, a path that is not a
// folder); reported as a usage error.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a usage error prints on stderr, for every command alike.
std::string UsageErrorText(const CommandSyntax& syntax, const std::string& message);

// The lines of `syntax`'s help after its usage line: the description, one line per option, the exits.
std::string HelpText(const CommandSyntax& syntax);

} // namespace pc::patchctl
