// patchctl config: reads a Config.ini the way the launcher does, and writes one that the launcher reads
// back to exactly the given values, the optional patch list key included.
#include "launcher/config.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "tools/patchctl/command.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

constexpr int kBadInput = 2;

int Refuse(const std::string& text) {
    std::fprintf(stderr, "patchctl config encode: %s\n", text.c_str());
    return kBadInput;
}

// Why the launcher cannot read the file at `path` as a Config.ini, in words; empty when it can. The
// launcher itself would only report a conversion error for the key, or take values from the wrong place.
std::string ConfigDamage(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    if (bytes.empty())
        return path + " is empty: a Config.ini holds its scrambling key and eight values";
    if (bytes.size() < 2 || !std::isxdigit(static_cast<unsigned char>(bytes[0])) ||
        !std::isxdigit(static_cast<unsigned char>(bytes[1])))
        return path + " is damaged: it does not start with the two hexadecimal digits of its scrambling key";
    const int key = ParseInteger("$" + bytes.substr(0, 2));
    std::string text;
    for (std::size_t i = 2; i < bytes.size(); ++i)
        text += static_cast<char>((static_cast<unsigned char>(bytes[i]) + 256 - (key + 19) % 256) % 256);
    // The launcher takes the n-th value from the n-th line, after the key's name and one separator.
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i) {
        const std::string name = kConfigKeys[i];
        if (lineStart > text.size() || text.compare(lineStart, name.size(), name) != 0 ||
            lineStart + name.size() >= text.size())
            return path + " is damaged: line " + std::to_string(i + 1) + " does not hold the value of '" +
                   name + "' (the file is cut short, changed by hand or not made by config encode)";
        const auto end = text.find("\r\n", lineStart);
        lineStart = end == std::string::npos ? text.size() + 1 : end + 2;
    }
    return {};
}

} // namespace

int RunConfigDecode(const Arguments& args) {
    const std::string& path = args.Positionals()[0];
    if (!IsExistingFile(path)) {
        std::fprintf(stderr, "Essential file missing: %s\n", path.c_str());
        return 1;
    }
    if (const std::string damage = ConfigDamage(path); !damage.empty()) {
        std::fprintf(stderr, "patchctl config decode: %s\n", damage.c_str());
        return 1;
    }
    const ConfigContents contents = ReadConfigContents(path);
    std::string out;
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i)
        out += std::string(kConfigKeys[i]) + "=" + contents.values[i] + "\n";
    if (contents.hasPatchListKey)
        out += std::string(kPatchListKeyName) + "=" + contents.patchListKey + "\n";
    for (const std::string& mirror : contents.patchListMirrors)
        out += std::string(kPatchListMirrorName) + "=" + mirror + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

namespace {

// The file's bytes for `contents` under `key`: two hex digits, then "key=value;" lines each ended by
// CR LF, every byte shifted up by key + 19. The ninth key, when given, needs the eighth line's CR LF.
std::string Scramble(int key, const ConfigContents& contents) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(key));
    std::string plain;
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i)
        plain += std::string(kConfigKeys[i]) + "=" + contents.values[i] + ";\r\n";
    if (contents.hasPatchListKey)
        plain += std::string(kPatchListKeyName) + "=" + contents.patchListKey + ";\r\n";
    for (const std::string& mirror : contents.patchListMirrors)
        plain += std::string(kPatchListMirrorName) + "=" + mirror + ";\r\n";
    std::string out = digits;
    for (unsigned char c : plain)
        out += static_cast<char>((c + key + 19) % 256);
    return out;
}

// Whether the launcher reads `bytes` back to exactly `contents`; some keys turn a byte into a lone CR, a
// lone LF or a NUL, which the reading damages.
bool ReadsBack(const std::string& bytes, const ConfigContents& contents) {
    try {
        return DecodeConfigContents(bytes) == contents;
    } catch (const Exception&) {
        return false;
    }
}

std::optional<int> ParseKey(const std::string& text) {
    if (text.size() != 2 || !std::all_of(text.begin(), text.end(),
                                         [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    return ParseInteger("$" + text);
}

std::string TrimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

int RunConfigEncode(const Arguments& args) {
    std::optional<int> key;
    const std::optional<std::string> output = args.Value("-o");
    if (const std::optional<std::string> text = args.Value("--key"); text && !(key = ParseKey(*text)))
        throw UsageError("the key must be two hexadecimal digits, not '" + *text + "'");

    const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    ConfigContents contents;
    ConfigValues& values = contents.values;
    // The eight keys, then the optional ninth.
    std::array<int, kConfigKeys.size() + 1> seenOnLine{};
    std::size_t start = 0;
    for (int lineNumber = 1; start < input.size(); ++lineNumber) {
        auto end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back(); // plain files written with CR LF line ends
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const auto firstNonBlank = line.find_first_not_of(" \t");
        if (firstNonBlank == std::string::npos || line[firstNonBlank] == '#')
            continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            return Refuse(where + "expected key=value");
        // Blanks around the '=' are the operator's layout, never part of a key or a value.
        const std::string name = TrimBlanks(line.substr(0, equals));
        if (name == kPatchListMirrorName) {
            // Any number, in the order given: the launcher tries them in that order.
            const std::string url = TrimBlanks(line.substr(equals + 1));
            if (!StartsWithAsciiCaseless(url, "http://") && !StartsWithAsciiCaseless(url, "https://"))
                return Refuse(where + "the value of '" + name + "' is not an http or https URL");
            if (url.find_first_of(std::string(" \t\r\0", 4)) != std::string::npos)
                return Refuse(where + "the value of '" + name + "' holds a blank or a control character");
            contents.patchListMirrors.push_back(url);
            continue;
        }
        const auto known =
            std::find_if(kConfigKeys.begin(), kConfigKeys.end(), [&](const char* k) { return name == k; });
        if (known == kConfigKeys.end() && name != kPatchListKeyName)
            return Refuse(where + "unknown key '" + name + "'");
        const auto index = static_cast<std::size_t>(known - kConfigKeys.begin());
        if (seenOnLine[index] != 0)
            return Refuse(where + "key '" + name + "' given again (first on line " +
                          std::to_string(seenOnLine[index]) + ")");
        const std::string value =
            line.substr(std::min(line.find_first_not_of(" \t", equals + 1), line.size()));
        if (value.find('\r') != std::string::npos)
            return Refuse(where + "the value of '" + name + "' holds a CR, which Config.ini cannot carry");
        if (value.find('\0') != std::string::npos)
            return Refuse(where + "the value of '" + name + "' holds a NUL, which Config.ini cannot carry");
        std::string der;
        if (index == kConfigKeys.size() && value.empty())
            return Refuse(where + "the value of '" + name +
                          "' is empty; leave the line out, or give the line that patchctl keygen prints");
        if (index == kConfigKeys.size() && !(Base64Decode(value, der) && IsVerifyingKey(der)))
            return Refuse(where + "the value of '" + name +
                          "' is not a P-256 public key in base64 (patchctl keygen prints the line)");
        seenOnLine[index] = lineNumber;
        if (index < kConfigKeys.size()) {
            values[index] = value;
        } else {
            contents.hasPatchListKey = true;
            contents.patchListKey = value;
        }
    }
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i)
        if (seenOnLine[i] == 0)
            return Refuse(std::string("key '") + kConfigKeys[i] + "' is missing");

    std::string bytes;
    if (key) {
        bytes = Scramble(*key, contents);
        if (!ReadsBack(bytes, contents)) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(*key));
            return Refuse(std::string("key ") + digits +
                          " turns a byte of this text into a lone CR, a lone LF or a NUL, which the launcher "
                          "would read wrongly; choose another key or leave --key out");
        }
    } else {
        std::vector<int> keys(256);
        for (int k = 0; k < 256; ++k)
            keys[static_cast<std::size_t>(k)] = k;
        std::shuffle(keys.begin(), keys.end(), std::mt19937{std::random_device{}()});
        for (int k : keys) {
            bytes = Scramble(k, contents);
            if (ReadsBack(bytes, contents))
                break;
            bytes.clear();
        }
        if (bytes.empty())
            return Refuse("no key makes a file that the launcher reads back to these values");
    }
    if (output) {
        // Through a temporary file and a rename: a failed write leaves the old Config.ini as it was.
        ReplaceFile(*output, bytes);
        return 0;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "patchctl config encode: cannot write the output\n");
        return 1;
    }
    return 0;
}

} // namespace pc::patchctl
