#include "launcher/net/content_range.h"

#include "framework/helpers.h"

#include <string_view>

namespace pc {
std::int64_t HeaderCount(std::string_view text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    std::int64_t value = 0;
    for (const char c : text)
        value = value * 10 + (c - '0');
    return value;
}

bool ParseContentRange(const std::string& text, std::int64_t& first, std::int64_t& last,
                       std::int64_t& total) {
    constexpr std::string_view unit = "bytes ";
    if (text.size() <= unit.size() || AsciiLowerCase(text.substr(0, unit.size())) != unit)
        return false;
    const std::string_view rest = std::string_view(text).substr(unit.size());
    const auto dash = rest.find('-');
    const auto slash = rest.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    first = HeaderCount(rest.substr(0, dash));
    last = HeaderCount(rest.substr(dash + 1, slash - dash - 1));
    total = HeaderCount(rest.substr(slash + 1));
    return first >= 0 && last >= first && total > last;
}

} // namespace pc
