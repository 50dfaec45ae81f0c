#include "archive/extract_names.h"

#include "archive/code_pages.h"

#include <vector>

namespace pc {
namespace {

bool IsSeparator(char16_t c) {
    return c == u'/' || c == u'\\';
}
bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

} // namespace

// The rules, read from the start of both strings: a pattern rest of exactly "*" matches; an exhausted
// name matches only an exhausted pattern; '*' stands for the run up to some position k of the rest of
// the name, k from 0 to its length - 1; '?' takes one character; any other character must be equal.
// Computed bottom-up over (name position, pattern position) so that patterns with many stars cannot
// take exponential time.
bool WildcardMatch(std::u16string_view name, std::u16string_view pattern, bool ignoreCase) {
    if (pattern == u"*.*")
        return true;
    std::u16string upperName, upperPattern;
    if (ignoreCase) {
        upperName = WideUpperCase(name);
        upperPattern = WideUpperCase(pattern);
        name = upperName;
        pattern = upperPattern;
    }
    const std::size_t n = name.size();
    const std::size_t m = pattern.size();
    // row[j]: the rest of the name from i matches the pattern from j. below: the same for i + 1.
    // later[j]: the pattern from j matches the name from some position in i + 1 .. n - 1.
    std::vector<char> row(m + 1), below(m + 1), later(m + 1, 0);
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = m + 1; j-- > 0;) {
            bool match;
            if (j + 1 == m && pattern[j] == u'*')
                match = true;
            else if (i == n)
                match = j == m;
            else if (j == m)
                match = false;
            else if (pattern[j] == u'*')
                match = row[j + 1] != 0 || later[j + 1] != 0;
            else if (pattern[j] == u'?')
                match = below[j + 1] != 0;
            else
                match = pattern[j] == name[i] && below[j + 1] != 0;
            row[j] = match;
        }
        if (i < n)
            for (std::size_t j = 0; j <= m; ++j)
                later[j] = later[j] || row[j];
        std::swap(row, below);
    }
    return below[0] != 0;
}

bool MatchesMask(std::u16string_view name, std::u16string_view mask) {
    if (mask.empty())
        return false;
    std::u16string working(mask);
    if (auto at = working.find(u"*.*"); at != std::u16string::npos)
        working.replace(at, 3, u"*");
    const bool noExtension = mask.back() == u'.';
    if (noExtension && !working.empty())
        working.pop_back();
    std::u16string_view subject = name;
    if (!subject.empty() && subject.back() == u'.')
        subject.remove_suffix(1);
    if (!WildcardMatch(subject, working, true))
        return false;
    if (!noExtension)
        return true;
    const std::size_t lastSeparator = name.find_last_of(u"\\:/");
    const std::size_t dot = name.rfind(u'.');
    const bool hasExtension = dot != std::u16string_view::npos &&
                              (lastSeparator == std::u16string_view::npos || dot > lastSeparator);
    return !hasExtension || name.substr(dot) == u".";
}

std::u16string FileNamePart(std::u16string_view name) {
    const std::size_t at = name.find_last_of(u"\\/:");
    return std::u16string(at == std::u16string_view::npos ? name : name.substr(at + 1));
}

std::u16string PrepareSearchMask(std::u16string_view mask) {
    std::u16string result(mask);
    if (result.size() >= 2 && result[1] == u':' && IsAsciiLetter(result[0])) {
        result.erase(0, 2);
    } else if (result.size() >= 2 && IsSeparator(result[0]) && IsSeparator(result[1])) {
        // \\server\share\rest: drop up to the separator after the share
        std::size_t server = result.find_first_of(u"\\/", 2);
        std::size_t share =
            server == std::u16string::npos ? server : result.find_first_of(u"\\/", server + 1);
        result.erase(0, share == std::u16string::npos ? result.size() : share + 1);
    }
    for (char16_t& c : result)
        if (c == u'\\')
            c = u'/';
    return result;
}

bool IsUnsafeEntryName(std::u16string_view name) {
    if (name.empty())
        return false;
    if (name.find(u'\0') != std::u16string_view::npos)
        return true;
    if (IsSeparator(name[0]))
        return true;
    // A drive ("X:"), and past it an alternate data stream of a file ("game.exe:payload") on Windows: no
    // name in a patch may hold a colon, on either edition.
    if (name.find(u':') != std::u16string_view::npos)
        return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        std::u16string_view component = name.substr(start, end - start);
        if (component == u"..")
            return true;
        if (end == name.size())
            return false;
        // An empty component: two separators meet (a single trailing separator marks a directory).
        if (component.empty())
            return true;
        start = end + 1;
        if (start == name.size())
            return false;
    }
}

} // namespace pc
