#include "tools/patchctl/arguments.h"

#include <algorithm>
#include <cstddef>

namespace pc::patchctl {
namespace {

const OptionSyntax* FindOption(const CommandSyntax& syntax, std::string_view name) {
    const auto it = std::find_if(syntax.options.begin(), syntax.options.end(),
                                 [&](const OptionSyntax& option) { return option.name == name; });
    return it == syntax.options.end() ? nullptr : &*it;
}

// "A", "A and B", "A, B and C".
std::string Listed(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

ParseResult Refused(std::string message) {
    return ParseResult{std::nullopt, std::move(message)};
}

} // namespace

void Arguments::Declared(std::string_view option) const {
    if (FindOption(*syntax_, option) == nullptr)
        throw std::logic_error("patchctl " + std::string(syntax_->name) + " declares no option " +
                               std::string(option));
}

bool Arguments::Has(std::string_view option) const {
    Declared(option);
    return given_.find(option) != given_.end();
}

std::optional<std::string> Arguments::Value(std::string_view option) const {
    Declared(option);
    const auto it = given_.find(option);
    if (it == given_.end() || FindOption(*syntax_, option)->value.empty())
        return std::nullopt;
    return it->second.back();
}

std::vector<std::string> Arguments::Values(std::string_view option) const {
    Declared(option);
    const auto it = given_.find(option);
    if (it == given_.end() || FindOption(*syntax_, option)->value.empty())
        return {};
    return it->second;
}

ParseResult ParseArguments(const CommandSyntax& syntax, const std::vector<std::string>& args) {
    Arguments parsed(syntax);
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        // A lone "-" is an argument, as it is to most tools.
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (parsed.positionals_.size() == syntax.positionals.size())
                return Refused("unexpected argument '" + arg + "'");
            // No command takes an empty name, and most would fail on it far from the command line.
            if (arg.empty())
                return Refused("empty argument for " +
                               std::string(syntax.positionals[parsed.positionals_.size()]));
            parsed.positionals_.push_back(arg);
            continue;
        }
        const auto equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const OptionSyntax* option = FindOption(syntax, name);
        if (option == nullptr)
            return Refused("unknown option '" + name + "'");
        std::string value;
        if (option->value.empty()) {
            if (equals != std::string::npos)
                return Refused(name + " takes no value");
        } else if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return Refused(name + " needs a value");
        }
        if (!option->choices.empty() &&
            std::find(option->choices.begin(), option->choices.end(), value) == option->choices.end())
            return Refused("unknown " + std::string(option->choiceNoun) + " '" + value + "'");
        parsed.given_[name].push_back(value);
    }
    if (parsed.positionals_.size() < syntax.fewestPositionals)
        return Refused(Listed(syntax.positionals) + (syntax.positionals.size() == 1 ? " is" : " are") +
                       " needed");
    for (const auto& [first, second] : syntax.exclusive)
        if (parsed.given_.count(first) != 0 && parsed.given_.count(second) != 0)
            return Refused(std::string(first) + " and " + std::string(second) + " exclude each other");
    for (const auto& [first, second] : syntax.together)
        if (parsed.given_.count(first) != parsed.given_.count(second))
            return Refused(std::string(first) + " and " + std::string(second) + " go together");
    for (const OptionSyntax& option : syntax.options)
        if (option.required && parsed.given_.count(option.name) == 0)
            return Refused(std::string(option.name) + " " + std::string(option.value) + " is needed");
    return ParseResult{std::move(parsed), {}};
}

std::string UsageErrorText(const CommandSyntax& syntax, const std::string& message) {
    return "patchctl " + std::string(syntax.name) + ": " + message + "\nusage: patchctl " +
           std::string(syntax.usage) + "\n";
}

std::string HelpText(const CommandSyntax& syntax) {
    std::string text = std::string(syntax.description);
    std::size_t width = 0;
    const auto shown = [](const OptionSyntax& option) {
        return std::string(option.name) + (option.value.empty() ? "" : " " + std::string(option.value));
    };
    for (const OptionSyntax& option : syntax.options)
        width = std::max(width, shown(option).size());
    // A help of several lines goes on under its first.
    const std::string indent = "\n" + std::string(width + 5, ' ');
    for (const OptionSyntax& option : syntax.options) {
        const std::string left = shown(option);
        text += "  " + left + std::string(width - left.size() + 3, ' ');
        for (const char c : option.help)
            text += c == '\n' ? indent : std::string(1, c);
        text += "\n";
    }
    return text + std::string(syntax.exits);
}

} // namespace pc::patchctl
