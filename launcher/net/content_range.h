// The byte ranges of HTTP answers, as a server states them in Content-Range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pc {

// A header's count of bytes (Content-Length, a bound of a range): plain decimal digits, at most 18 of
// them; -1 when the text is anything else.
std::int64_t HeaderCount(std::string_view text);

// "bytes FIRST-LAST/TOTAL"; false when the header is anything else (an unknown total among it).
bool ParseContentRange(const std::string& text, std::int64_t& first, std::int64_t& last, std::int64_t& total);

} // namespace pc
