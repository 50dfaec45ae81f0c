// The installation's settings file: key=value lines that the player's choices and the installation's own
// rollout number live in. Lines of keys this version does not know are kept as they are.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pc {

// The player's download speed limit in bytes per second; 0 (also for a missing or unreadable file or value)
// for none.
std::int64_t StoredSpeedLimit(const std::string& appDir);
// Keeps `bytesPerSecond` (0: none) as the installation's limit. Errors of the file are raised.
void StoreSpeedLimit(const std::string& appDir, std::int64_t bytesPerSecond);

// Rollout numbers lie in 0 .. kRolloutRange-1; a row for `percent` percent of installations is taken by those
// whose number is below percent * kRolloutRange / 100, so raising the share only ever brings more in.
inline constexpr std::uint32_t kRolloutRange = 1000000;
bool RolloutTakes(std::uint32_t number, int percent);

// The installation's rollout number, drawn with `draw` (a number below kRolloutRange) and kept on the first
// call that finds none (or an unreadable one), the kept one afterwards. Errors writing the file are raised.
std::uint32_t InstallationRolloutNumber(const std::string& appDir,
                                        const std::function<std::uint32_t()>& draw);
// A number below kRolloutRange drawn at random.
std::uint32_t DrawRolloutNumber();

// A rate as the player writes it: a whole number of bytes per second, or with K or M after it (1,000 and
// 1,000,000 bytes, the units the progress line shows), e.g. "2M", "500K"; "0" for none. Nothing else.
std::optional<std::int64_t> ParseRate(std::string_view text);
// A rate for people: "2 MB/s", "500 KB/s", "1234 B/s".
std::string FormatRate(std::int64_t bytesPerSecond);

} // namespace pc
