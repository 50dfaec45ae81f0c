// How fresh a signed patch list is: the serial and the expiry that the operator's signing tool writes into
// the list, and the highest serial this installation has accepted. A list that carries them can be served
// again with its genuine signature; these stamps are what lets the launcher refuse it then.
//
// Both stamps are skipped lines to every reader of the list (they start with '/'), covered by the signature:
//
//     //serial 17
//     //expires 2026-12-31T00:00:00Z
//
// A line whose first word (up to a blank, a TAB or the line's end) is "//serial" or "//expires" is a stamp
// line; it is well formed only as that word, one blank and the value: 1 to 18 decimal digits for the
// serial, a UTC time in exactly the form YYYY-MM-DDTHH:MM:SSZ for the expiry. Each may appear once.
#pragma once

#include "launcher/install/own_files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pc {

enum class TStampKind { None, Serial, Expires };

// Which stamp line `line` is, well formed or not.
TStampKind StampKindOf(std::string_view line);
// The value of a well-formed stamp line of that kind; nothing when the line is not one.
std::optional<std::uint64_t> ParseSerialLine(std::string_view line);
std::optional<std::int64_t> ParseExpiresLine(std::string_view line); // seconds since 1970-01-01 UTC

// A UTC time in exactly the form YYYY-MM-DDTHH:MM:SSZ, as seconds since 1970-01-01; nothing otherwise.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);

// The system clock's time in seconds since 1970 UTC.
std::int64_t UnixSecondsNow();

// The stamp lines that carry these values (without a line end).
std::string SerialLine(std::uint64_t serial);
std::string ExpiresLine(std::int64_t unixSeconds); // years 1970 to 9999
// "2026-12-31T00:00:00Z" for the moment given; ParseExpiresLine reads it back.
std::string FormatUtcTime(std::int64_t unixSeconds);

inline constexpr std::int64_t kSecondsPerDay = 86400;

// The largest serial a list may carry: 18 decimal digits.
inline constexpr std::uint64_t kLargestSerial = 999'999'999'999'999'999ULL;

// What a list's lines say about its freshness. A stamp that is malformed or repeated is no stamp: its
// problem is set instead (a sentence that names the line's form), and the value stays empty.
struct TListStamps {
    std::optional<std::uint64_t> serial;
    std::optional<std::int64_t> expires;
    std::string serialProblem;
    std::string expiresProblem;
};

// Reads the stamps from the list's bytes as the launcher reads its lines (CR LF, lone CR, lone LF; the
// first NUL ends the text).
TListStamps ReadListStamps(std::string_view bytes);

enum class TFreshness {
    Fresh,   // no older than what was accepted, and not expired
    Older,   // a lower serial than the one accepted, or none after one was accepted
    Expired, // its expiry has come, or its expiry line cannot be read
};

struct TFreshnessVerdict {
    TFreshness freshness = TFreshness::Fresh;
    std::string reason; // for the operator, when not fresh
};

// Judges a signed list's stamps against the highest serial accepted before (none when the installation
// has never accepted one) at the moment `now` (seconds since 1970 UTC). Equal serials are fresh: the same
// list again. A list without a serial is fresh only while no serial was accepted; a malformed expiry is
// taken as expired, since its operator meant the list to end.
TFreshnessVerdict JudgeFreshness(const TListStamps& stamps, std::optional<std::uint64_t> accepted,
                                 std::int64_t now);

// The highest serial accepted in the installation `appDir` (ending with its separator). Nothing when no
// serial was ever accepted; a file whose content is not a serial is read as none (it is only ever written
// whole, so that takes someone who could change the installation anyway). EFOpenError when it exists but
// cannot be read.
std::optional<std::uint64_t> ReadAcceptedSerial(const std::string& appDir);
// Replaces the stored serial atomically, as the ledger is saved: a failed save keeps the old one.
// EFCreateError, EWriteError.
void StoreAcceptedSerial(const std::string& appDir, std::uint64_t serial);

} // namespace pc
