#include "framework/helpers.h"

#include "framework/exceptions.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

namespace pc {
namespace {

[[noreturn]] void RaiseNotAnInteger(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid integer value");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::int32_t ParseInteger(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;

    bool negative = false;
    bool hex = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i; // a sign admits decimal digits only
    } else if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n)
        RaiseNotAnInteger(text);

    if (hex) {
        std::uint32_t value = 0;
        for (; i < n; ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0 || value > 0x0FFFFFFFu)
                RaiseNotAnInteger(text);
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        // The 32 bits are read as a two's-complement value: $FFFFFFFF is -1.
        return static_cast<std::int32_t>(value);
    }

    std::int64_t value = 0;
    for (; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > 214748364)
            RaiseNotAnInteger(text);
        value = value * 10 + (text[i] - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        RaiseNotAnInteger(text);
    return static_cast<std::int32_t>(value);
}

std::string FormatInteger(std::int32_t value) {
    return std::to_string(value);
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

std::optional<std::uint64_t> ParseCanonicalDecimal(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > std::min<std::size_t>(maxDigits, 19) ||
        (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string RandomHexDigits(int count) {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    unsigned long long number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        number = generator();
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", number);
    return std::string(digits + 16 - std::clamp(count, 1, 16));
}

std::string AsciiLowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool StartsWithAsciiCaseless(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           AsciiLowerCase(std::string(text.substr(0, prefix.size()))) == AsciiLowerCase(std::string(prefix));
}

std::string InitialApplicationTitle(const std::string& executablePath) {
    std::string title = NamePart(executablePath);
    title = title.substr(0, title.find('.'));
    if (!title.empty())
        title = title.front() + AsciiLowerCase(title.substr(1));
    return title;
}

} // namespace pc
