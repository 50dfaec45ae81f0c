#include "launcher/list/row_release.h"

#include "launcher/install/settings.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/delivery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace pc {
namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;

// "2 h 10 min", "35 min", "3 d 4 h": whole minutes, rounded up, so that "in 0 min" never shows.
std::string TimeUntil(std::int64_t seconds) {
    const std::int64_t minutes = (std::max<std::int64_t>(seconds, 1) + kMinute - 1) / kMinute;
    if (minutes >= 24 * 60) {
        const std::int64_t hours = minutes / 60;
        return std::to_string(hours / 24) + " d" +
               (hours % 24 != 0 ? " " + std::to_string(hours % 24) + " h" : "");
    }
    if (minutes >= 60)
        return std::to_string(minutes / 60) + " h" +
               (minutes % 60 != 0 ? " " + std::to_string(minutes % 60) + " min" : std::string());
    return std::to_string(minutes) + " min";
}

// "18:00 UTC", with the date in front once the moment is not within the next day.
std::string MomentText(std::int64_t at, std::int64_t now) {
    const std::string full = FormatUtcTime(at); // 2026-12-10T18:00:00Z
    const std::string clock = full.substr(11, 5) + " UTC";
    return at - now < 24 * kHour ? clock : full.substr(0, 10) + " " + clock;
}

} // namespace

TRowHold RowHold(const TPatchRec& row, std::int64_t now,
                 const std::function<std::uint32_t()>& rolloutNumber) {
    if (row.malformedAvailable || row.malformedRollout)
        return TRowHold::rhUnreadable;
    // Outside the share, not even downloaded: the patch may be withdrawn before it reaches everyone.
    if (row.rolloutPercent < 100 && !RolloutTakes(rolloutNumber(), row.rolloutPercent))
        return TRowHold::rhRollingOut;
    return now < row.availableAt ? TRowHold::rhNotYet : TRowHold::rhNone;
}

std::string HoldLine(TRowHold hold, const std::string& name, const TPatchRec& row, std::int64_t now) {
    switch (hold) {
    case TRowHold::rhNotYet:
        return "- Patch " + name + " is ready; it applies at " + MomentText(row.availableAt, now) + " (in " +
               TimeUntil(row.availableAt - now) + ")";
    case TRowHold::rhRollingOut:
        return "- Patch " + name + " is rolling out; this installation will get it later";
    case TRowHold::rhUnreadable:
        return "- Patch " + name +
               " has a release time or rollout share that cannot be read; it is not applied";
    case TRowHold::rhNone:
        break;
    }
    return {};
}

std::int64_t ServerClockOffset(const std::string& date, std::int64_t localNow) {
    const auto server = ParseHttpDate(date);
    if (!server)
        return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(server->time_since_epoch()).count() - localNow;
}

} // namespace pc
