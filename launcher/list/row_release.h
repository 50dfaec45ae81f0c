// When a row of the patch list may be applied: its release time, judged by the server's clock, and the
// share of installations of a staged rollout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace pc {

struct TPatchRec;

enum class TRowHold {
    rhNone,       // apply it now
    rhNotYet,     // its release time has not come: download it and keep it, apply it later
    rhRollingOut, // this installation is not within its share yet
    rhUnreadable, // its release time or share cannot be read: never applied
};

// How row `row` stands at `now` (seconds since 1970 UTC, by the server's clock) for the installation whose
// rollout number `rolloutNumber` gives; that number is asked for only when the row has a share below 100%.
TRowHold RowHold(const TPatchRec& row, std::int64_t now, const std::function<std::uint32_t()>& rolloutNumber);

// The log line of a held row shown as `name`: "- Patch p0042 is ready; it applies at 18:00 UTC (in 2 h 10
// min)", "- Patch p0042 is rolling out; this installation will get it later", or the unreadable row's.
std::string HoldLine(TRowHold hold, const std::string& name, const TPatchRec& row, std::int64_t now);

// How far the server's clock (an answer's Date) runs ahead of `localNow`, in seconds; 0 without a readable
// Date, so that the player's clock judges then.
std::int64_t ServerClockOffset(const std::string& date, std::int64_t localNow);

} // namespace pc
