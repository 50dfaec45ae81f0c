#include "framework/process.h"

#include "framework/helpers.h"

#include <string_view>

namespace pc {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::vector<std::string> SplitArguments(std::string_view text) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (true) {
        while (i < n && IsBlank(text[i]))
            ++i;
        if (i >= n)
            break;
        std::string argument;
        bool quoted = false;
        while (i < n) {
            std::size_t slashes = 0;
            while (i < n && text[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && text[i] == '"') {
                argument.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && i + 1 < n && text[i + 1] == '"') {
                    argument += '"'; // a doubled quote inside a quoted part stands for itself
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            argument.append(slashes, '\\');
            if (i >= n || (!quoted && IsBlank(text[i])))
                break;
            argument += text[i++];
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

namespace {

bool IsExistingFileTest(const std::string& name) {
    return IsExistingFile(name);
}

} // namespace

TCommandLine SplitCommandLine(const std::string& commandLine) {
    return SplitCommandLine(commandLine, &IsExistingFileTest);
}

TCommandLine SplitCommandLine(const std::string& commandLine, bool (*isFile)(const std::string&)) {
    TCommandLine result;
    const std::size_t n = commandLine.size();
    std::size_t start = 0;
    while (start < n && IsBlank(commandLine[start]))
        ++start;
    std::size_t rest = n;
    if (start < n && commandLine[start] == '"') {
        // A quoted program name ends at the next quote; backslashes mean nothing there.
        const std::size_t close = commandLine.find('"', start + 1);
        if (close == std::string::npos) {
            result.program = commandLine.substr(start + 1);
        } else {
            result.program = commandLine.substr(start + 1, close - start - 1);
            rest = close + 1;
        }
    } else {
        // An unquoted path may hold blanks: the shortest prefix ending before a blank that names a file
        // is the program.
        auto nextBlank = [&](std::size_t from) {
            const std::size_t at = commandLine.find_first_of(" \t", from);
            return at == std::string::npos ? n : at;
        };
        const std::size_t firstEnd = nextBlank(start);
        std::size_t end = firstEnd;
        std::size_t chosen = firstEnd;
        while (true) {
            if (isFile(commandLine.substr(start, end - start))) {
                chosen = end;
                break;
            }
            if (end >= n)
                break;
            end = nextBlank(end + 1);
        }
        result.program = commandLine.substr(start, chosen - start);
        rest = chosen;
    }
    if (rest < n)
        result.arguments = SplitArguments(std::string_view(commandLine).substr(rest));
    return result;
}

} // namespace pc
