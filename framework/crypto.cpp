// What every platform's digests share.
#include "framework/crypto.h"

#include <cctype>
#include <cstdint>

namespace pc {

bool IsSha256Text(const std::string& text) {
    if (text.size() != 64)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool IsLowerSha256Text(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace pc

namespace pc {
namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string Base64Encode(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            group |= static_cast<unsigned char>(bytes[i + 2]);
        text += kBase64Digits[(group >> 18) & 63];
        text += kBase64Digits[(group >> 12) & 63];
        text += left > 1 ? kBase64Digits[(group >> 6) & 63] : '=';
        text += left > 2 ? kBase64Digits[group & 63] : '=';
    }
    return text;
}

bool Base64Decode(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2 && (padding > 0 || k == 2 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const int value = Base64Value(c);
            if (value < 0 || padding > 0)
                return false;
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        bytes += static_cast<char>(group >> 16);
        if (padding < 2)
            bytes += static_cast<char>((group >> 8) & 255);
        if (padding < 1)
            bytes += static_cast<char>(group & 255);
    }
    return true;
}

} // namespace pc
