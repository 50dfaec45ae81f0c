// ParseInteger against a reference written from the conversion rules, and FormatInteger round trips.
#include "fuzz/fuzz_target.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"

#include <cstring>
#include <optional>

namespace pc::fuzz {
namespace {

// The rules, kept deliberately plain: blanks, then a sign (decimal only) or a hexadecimal prefix, then
// digits up to the end; the accumulated value must stay small enough before every further digit.
std::optional<std::int32_t> Reference(const std::string& text) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos)
        return std::nullopt;
    std::string_view rest(text.data() + i, text.size() - i);

    int sign = 0;
    int base = 10;
    if (rest[0] == '-' || rest[0] == '+') {
        sign = rest[0] == '-' ? -1 : 1;
        rest.remove_prefix(1);
    } else if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        base = 16;
        rest.remove_prefix(1);
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        base = 16;
        rest.remove_prefix(2);
    }
    if (rest.empty())
        return std::nullopt;

    unsigned long long value = 0;
    for (char c : rest) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (base == 16 && value > 0x0FFFFFFFull)
            return std::nullopt;
        if (base == 10 && value > 214748364ull)
            return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (base == 16)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    if (sign < 0) {
        if (value > 2147483648ull)
            return std::nullopt;
        return static_cast<std::int32_t>(-static_cast<long long>(value));
    }
    if (value > 2147483647ull)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

int Run(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> expected = Reference(text);
    try {
        const std::int32_t got = ParseInteger(text);
        FUZZ_CHECK(expected.has_value());
        FUZZ_CHECK(got == *expected);
    } catch (const EConvertError& error) {
        FUZZ_CHECK(!expected.has_value());
        FUZZ_CHECK(error.Message() == "'" + text + "' is not a valid integer value");
    }

    if (size >= 4) {
        std::int32_t value;
        std::memcpy(&value, data, sizeof value);
        const std::string formatted = FormatInteger(value);
        FUZZ_CHECK(formatted == std::to_string(value));
        FUZZ_CHECK(ParseInteger(formatted) == value);
    }
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(parse_integer, pc::fuzz::Run)
