// The log line that shows a transfer while it runs: a patch archive's download or a fetch of single
// files (in full, or to heal them): what arrives, how much of how much, how fast and how long it will
// still take.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace pc {

class UiPort;

// "- Downloading p0042 (3 of 12)", then ": 120 of 900 MB, 8.1 MB/s, about 2 min left" once figures are
// known. `done` below 0: no figures yet. `total` below 0 (unknown) or below `done`: the amount alone, no
// time left. `bytesPerSecond` at or below 0: no rate and no time left.
std::string DownloadingLine(const std::string& name, int position, int count, std::int64_t done,
                            std::int64_t total, double bytesPerSecond);
// The same figures after any heading: "- Fetching 3 files in full: 12 of 61 MB, 8.1 MB/s, about 6 s left".
std::string ProgressLine(const std::string& heading, std::int64_t done, std::int64_t total,
                         double bytesPerSecond);

// An amount in the unit that suits it: "512 bytes", "8.1 kB", "120 MB", "1.5 GB" (decimal units; one
// decimal below 10, whole numbers above).
std::string FormatAmount(std::int64_t bytes);

// Keeps the log's last line on the current transfer: appended by Start, replaced at most four times a
// second while bytes arrive. The caller replaces it with the outcome afterwards.
class TDownloadProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // A patch archive's download: "- Downloading NAME (POSITION of COUNT)".
    TDownloadProgressLine(UiPort& ui, const std::string& name, int position, int count,
                          std::function<Clock::time_point()> now = &Clock::now);
    // Any other transfer, under its own heading.
    TDownloadProgressLine(UiPort& ui, std::string heading,
                          std::function<Clock::time_point()> now = &Clock::now);

    void Start();
    // `done` bytes of `total` (below 0: unknown) are in the file, counting any kept from an earlier start.
    void Update(std::int64_t done, std::int64_t total);
    // The figures where the transfer ended, shown whatever the time.
    void Finish(std::int64_t done, std::int64_t total);

    static constexpr std::chrono::milliseconds kInterval{250};

private:
    UiPort& ui_;
    std::string heading_;
    std::function<Clock::time_point()> now_;
    Clock::time_point started_;
    Clock::time_point shown_;
    std::int64_t firstDone_ = -1; // what the file held when bytes first came: not this start's speed
};

} // namespace pc
