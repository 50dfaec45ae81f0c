#include "launcher/install/settings.h"

#include "framework/file_io.h"
#include "framework/file_system.h"
#include "framework/helpers.h"
#include "launcher/install/own_files.h"

#include <limits>
#include <vector>

namespace pc {
namespace {

constexpr std::string_view kSpeedLimitKey = "download-speed-limit";
constexpr std::string_view kRolloutKey = "rollout-number";
constexpr std::int64_t kKilo = 1000;
constexpr std::int64_t kMega = 1000 * 1000;

std::vector<std::string> SettingsLines(const std::string& appDir) {
    std::vector<std::string> lines;
    std::string text;
    try {
        text = ReadWholeFile(appDir + kSettingsFileName);
    } catch (const std::exception&) {
        return lines; // no settings yet: every value is its default
    }
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

std::optional<std::string> Setting(const std::vector<std::string>& lines, std::string_view key) {
    for (const std::string& line : lines)
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=')
            return line.substr(key.size() + 1);
    return std::nullopt;
}

void StoreSetting(const std::string& appDir, std::string_view key, const std::string& value) {
    std::vector<std::string> lines = SettingsLines(appDir);
    std::string text;
    bool replaced = false;
    for (const std::string& line : lines) {
        const bool ours =
            line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=';
        if (ours && replaced)
            continue;
        text += ours ? std::string(key) + "=" + value : line;
        text += '\n';
        replaced = replaced || ours;
    }
    if (!replaced)
        text += std::string(key) + "=" + value + "\n";
    // Replaced whole, like the ledger: a crash keeps the old settings, never half of them.
    ReplaceFile(appDir + kSettingsFileName, text);
}

std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t most) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > most)
        return std::nullopt;
    return value;
}

} // namespace

std::int64_t StoredSpeedLimit(const std::string& appDir) {
    const std::optional<std::string> value = Setting(SettingsLines(appDir), kSpeedLimitKey);
    if (!value)
        return 0;
    const std::optional<std::uint64_t> rate = Decimal(*value, std::numeric_limits<std::int64_t>::max());
    return rate ? static_cast<std::int64_t>(*rate) : 0;
}

void StoreSpeedLimit(const std::string& appDir, std::int64_t bytesPerSecond) {
    StoreSetting(appDir, kSpeedLimitKey, std::to_string(bytesPerSecond > 0 ? bytesPerSecond : 0));
}

bool RolloutTakes(std::uint32_t number, int percent) {
    if (percent <= 0)
        return false;
    if (percent >= 100)
        return true;
    return number < static_cast<std::uint32_t>(percent) * (kRolloutRange / 100);
}

std::uint32_t InstallationRolloutNumber(const std::string& appDir,
                                        const std::function<std::uint32_t()>& draw) {
    if (const std::optional<std::string> kept = Setting(SettingsLines(appDir), kRolloutKey))
        if (const std::optional<std::uint64_t> number = Decimal(*kept, kRolloutRange - 1))
            return static_cast<std::uint32_t>(*number);
    const std::uint32_t drawn = draw() % kRolloutRange;
    StoreSetting(appDir, kRolloutKey, std::to_string(drawn));
    return drawn;
}

std::uint32_t DrawRolloutNumber() {
    // Eight random hexadecimal digits are 32 bits; their remainder leans towards low numbers by less than
    // one in four thousand, far below what a share of whole percents can tell.
    const std::string digits = RandomHexDigits(8);
    return static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16) % kRolloutRange);
}

std::optional<std::int64_t> ParseRate(std::string_view text) {
    std::int64_t unit = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) {
        unit = kKilo;
        text.remove_suffix(1);
    } else if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) {
        unit = kMega;
        text.remove_suffix(1);
    }
    // Far above any line's speed, and far from overflowing once multiplied.
    const std::optional<std::uint64_t> count =
        Decimal(text, 1000000000000ULL / static_cast<std::uint64_t>(unit));
    if (!count)
        return std::nullopt;
    return static_cast<std::int64_t>(*count) * unit;
}

std::string FormatRate(std::int64_t bytesPerSecond) {
    if (bytesPerSecond >= kMega && bytesPerSecond % kMega == 0)
        return std::to_string(bytesPerSecond / kMega) + " MB/s";
    if (bytesPerSecond >= kKilo && bytesPerSecond % kKilo == 0)
        return std::to_string(bytesPerSecond / kKilo) + " KB/s";
    return std::to_string(bytesPerSecond) + " B/s";
}

} // namespace pc
