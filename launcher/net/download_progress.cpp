#include "launcher/net/download_progress.h"

#include "launcher/install/settings.h"
#include "launcher/net/download.h"
#include "launcher/ui_port.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

namespace pc {
namespace {

struct TUnit {
    std::int64_t size;
    const char* name;
};

// Decimal units, as download speeds and disk sizes are given to players.
constexpr std::array<TUnit, 5> kUnits{{{1, "bytes"},
                                       {1000, "kB"},
                                       {1000 * 1000, "MB"},
                                       {1000LL * 1000 * 1000, "GB"},
                                       {1000LL * 1000 * 1000 * 1000, "TB"}}};

const TUnit& UnitFor(std::int64_t bytes) {
    std::size_t i = 0;
    while (i + 1 < kUnits.size() && bytes >= kUnits[i + 1].size)
        ++i;
    return kUnits[i];
}

// `bytes` in `unit`, rounded down so that no figure shows more than has arrived: one decimal below 10
// units (except for plain bytes), whole units from there on.
std::string Figure(std::int64_t bytes, const TUnit& unit) {
    if (unit.size == 1 || bytes == 0)
        return std::to_string(bytes);
    if (bytes < 10 * unit.size) {
        const std::int64_t tenths = bytes * 10 / unit.size;
        return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    }
    return std::to_string(bytes / unit.size);
}

std::string TimeLeft(double seconds) {
    const auto whole = static_cast<std::int64_t>(std::ceil(seconds));
    if (whole < 60)
        return "about " + std::to_string(whole) + " s left";
    if (whole < 3600)
        return "about " + std::to_string((whole + 30) / 60) + " min left";
    if (whole < 24 * 3600) {
        const std::int64_t minutes = (whole + 30) / 60;
        const std::int64_t restMinutes = minutes % 60;
        return "about " + std::to_string(minutes / 60) + " h" +
               (restMinutes != 0 ? " " + std::to_string(restMinutes) + " min" : std::string()) + " left";
    }
    return "more than a day left";
}

std::string DownloadingHeading(const std::string& name, int position, int count) {
    return "- Downloading " + name + " (" + std::to_string(position) + " of " + std::to_string(count) + ")";
}

} // namespace

std::string FormatAmount(std::int64_t bytes) {
    if (bytes < 0)
        bytes = 0;
    const TUnit& unit = UnitFor(bytes);
    return Figure(bytes, unit) + " " + unit.name;
}

std::string DownloadingLine(const std::string& name, int position, int count, std::int64_t done,
                            std::int64_t total, double bytesPerSecond) {
    return ProgressLine(DownloadingHeading(name, position, count), done, total, bytesPerSecond);
}

std::string ProgressLine(const std::string& heading, std::int64_t done, std::int64_t total,
                         double bytesPerSecond) {
    std::string line = heading;
    if (done < 0)
        return line;
    const bool totalKnown = total >= done && total > 0;
    if (totalKnown) {
        const TUnit& unit = UnitFor(total);
        line += ": " + Figure(done, unit) + " of " + Figure(total, unit) + " " + unit.name;
    } else {
        line += ": " + FormatAmount(done);
    }
    if (bytesPerSecond > 0) {
        line += ", " + FormatAmount(static_cast<std::int64_t>(bytesPerSecond)) + "/s";
        if (totalKnown && total > done)
            line += ", " + TimeLeft(static_cast<double>(total - done) / bytesPerSecond);
    }
    return line;
}

namespace {

// What the player's speed limit adds to the figures, so that a slow download is not taken for a slow server.
std::string LimitNote() {
    const std::int64_t limit = DownloadSpeedLimit().load();
    return limit > 0 ? " (limited to " + FormatRate(limit) + ")" : std::string();
}

} // namespace

TDownloadProgressLine::TDownloadProgressLine(UiPort& ui, const std::string& name, int position, int count,
                                             std::function<Clock::time_point()> now)
    : TDownloadProgressLine(ui, DownloadingHeading(name, position, count), std::move(now)) {}

TDownloadProgressLine::TDownloadProgressLine(UiPort& ui, std::string heading,
                                             std::function<Clock::time_point()> now)
    : ui_(ui), heading_(std::move(heading)), now_(std::move(now)) {}

void TDownloadProgressLine::Start() {
    started_ = shown_ = now_();
    firstDone_ = -1;
    ui_.AppendLogLine(heading_);
}

void TDownloadProgressLine::Update(std::int64_t done, std::int64_t total) {
    const Clock::time_point now = now_();
    if (firstDone_ < 0) {
        // The speed counts from the first bytes of this start, not from what an earlier one kept.
        firstDone_ = done;
        started_ = now;
    }
    if (now - shown_ < kInterval)
        return;
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    // Below a second the speed says more about the connection's start than about the download.
    const double rate = seconds >= 1.0 ? static_cast<double>(done - firstDone_) / seconds : 0.0;
    ui_.ReplaceLastLogLine(ProgressLine(heading_, done, total, rate) + LimitNote());
}

void TDownloadProgressLine::Finish(std::int64_t done, std::int64_t total) {
    ui_.ReplaceLastLogLine(ProgressLine(heading_, done, total, 0) + LimitNote());
}

} // namespace pc
