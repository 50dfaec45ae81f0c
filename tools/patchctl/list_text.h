// Rewriting a patch list's text line by line, keeping every line it does not change byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pc::patchctl {
class Arguments;
}

namespace pc::patchctl {

// Hands each line of `bytes` to `visit`: its text without the line end, and the whole line with its end
// (CR, LF or CRLF; none for a last line without one).
template <typename Visit> void ForEachListLine(const std::string& bytes, Visit&& visit) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find_first_of("\r\n", at);
        std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
        if (end != std::string::npos && bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n')
            ++next;
        const std::string_view text(bytes.data() + at, (end == std::string::npos ? bytes.size() : end) - at);
        visit(text, std::string_view(bytes.data() + at, next - at));
        at = next;
    }
}

// The row tags that `--available-from TIME` and `--rollout PERCENT` ask for ("\tavailable=..."), or empty;
// UsageError for a time or share that is not well formed.
std::string ReleaseTimeAndShareTags(const Arguments& args);

} // namespace pc::patchctl
