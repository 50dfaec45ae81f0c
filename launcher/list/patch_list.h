// The server's patch list, the process-wide patch table and the applied-patch ledger.
#pragma once

#include "framework/exceptions.h"

#include "launcher/install/own_files.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pc {

// One patch list row.
struct TPatchRec {
    std::int32_t id = 0;
    std::string url;
    std::int32_t size = 0;    // only the progress bar's maximum
    std::string run;          // program to run after extraction, relative to the application directory
    std::int32_t group = 0;   // 0: standalone; otherwise only the group's last row is applied
    std::string sha256;       // the archive's SHA-256 in lower-case hexadecimal, or empty when not given
    std::int32_t release = 0; // the release the row completes; 0 for a row of no release
    std::int64_t snapshotBytes = 0; // the size of that release's client.zip, when the row says it
    // The moment (seconds since 1970 UTC) from which the row may be applied, from its `available` tag; 0
    // for at once. Before it the archive may only be downloaded.
    std::int64_t availableAt = 0;
    // The share of installations in percent (1 to 100) that take the row, from its `rollout` tag.
    int rolloutPercent = 100;
    // A tag of the two above that is there but cannot be read: the row is not applied at all (an operator
    // who meant to hold it back must not see it go out to everyone), and the log says why.
    bool malformedAvailable = false;
    bool malformedRollout = false;
};

// The row tags of a release time ("2026-12-10T18:00:00Z") and of a staged rollout's share ("25").
inline constexpr std::string_view kAvailableTag = "available";
inline constexpr std::string_view kRolloutTag = "rollout";
// The share a `rollout` value gives: a whole number 1 to 100 without signs or leading zeros; nothing else.
std::optional<int> ParseRolloutPercent(std::string_view text);

constexpr std::int32_t kPatchListCapacity = 65536;
// The largest patch list that is downloaded at all: far more than a full table of rows needs, and a bound on
// what a hostile server can make the launcher store and read.
constexpr std::int64_t kPatchListMaxBytes = 64 * 1024 * 1024;

// The table's kPatchListCapacity slots. Their memory is taken only as far as rows are written, so that
// every start of a launcher with a short list does not pay for a full table; a slot never written reads as
// an empty row. References to slots stay valid while later slots are written.
class TPatchRows {
public:
    TPatchRec& operator[](std::size_t index) {
        if (index >= rows_.size())
            rows_.resize(index + 1);
        return rows_[index];
    }
    const TPatchRec& operator[](std::size_t index) const {
        static const TPatchRec kEmpty;
        return index < rows_.size() ? rows_[index] : kEmpty;
    }

private:
    std::deque<TPatchRec> rows_;
};

// The patch table. Each parse starts it anew; rows above `high` are stale and never read.
struct TPatchList {
    std::int32_t high = -1;
    TPatchRows items;
};

// Raised when a patch list holds more rows than the table can take.
class EPatchListError : public Exception {
public:
    using Exception::Exception;
};

// The one table of the process.
TPatchList& PatchList();

// A patch list line as text, before any number is converted: the five fields, each ended by a TAB; a
// field whose TAB is missing is empty. After the fifth TAB a server may put the archive's SHA-256, ended by
// a TAB or by the end of the line; anything else there is ignored (servers keep notes there).
struct TPatchRowText {
    std::string id;
    std::string url;
    std::string size;
    std::string run;
    std::string group;
    int terminatedFields = 0; // how many fields had their TAB: 5 for a complete row
    std::string sixth;        // the text after the fifth TAB up to the next TAB or the end of the line
    // The TAB-separated fields after the sixth that have the form `key=value` (the key in lower-case
    // letters, digits and '-'), in order. Launchers that know a key act on it; the others, and launchers
    // that know none, pass it over as a note, so a row still applies everywhere.
    std::vector<std::pair<std::string, std::string>> tags;
};

// The value of the row's first tag `key`, or nothing.
std::optional<std::string> RowTag(const TPatchRowText& text, std::string_view key);

// The SHA-256 that a row's sixth field carries, lower-cased; empty when the field is not exactly 64
// hexadecimal digits.
std::string RowSha256(const TPatchRowText& text);

// Empty lines and lines starting with '/' are not rows and take no slot in the table.
bool IsPatchListRow(std::string_view line);
// Takes a row line apart into its fields.
TPatchRowText SplitPatchRow(const std::string& line);

// Reads a downloaded list into `PatchList()`: skips empty lines and lines starting with '/', takes every
// other line as five TAB-terminated fields id, url, size, run, group. EConvertError for a numeric field
// that is not a number, EPatchListError beyond 65,536 rows, EFOpenError when the file cannot be read.
void ParsePatchList(const std::string& path);
void ParsePatchList(const std::string& path, TPatchList& table);
// The same, handing every line that is neither a row nor empty to `otherLine` on the way (the list is
// read once).
void ParsePatchList(const std::string& path, TPatchList& table,
                    const std::function<void(std::string_view)>& otherLine);

// The ledger in the application directory `appDir` (ending with '/'). Each answer is
// the file's as it is at the query, so a patch recorded earlier in the same run, or by another program,
// counts; the file is read again only when it is no longer the one read last.
bool IsPatchApplied(const std::string& appDir, std::int32_t id);
// The highest id the ledger holds, if any: patches are applied in the order of their ids, so none with a
// lower id may follow it.
std::optional<std::int32_t> HighestAppliedPatch(const std::string& appDir);
// Appends the id; the ledger is replaced as a whole, atomically, so a failed save keeps the old one.
void RecordPatchApplied(const std::string& appDir, std::int32_t id);

// Whether an update of the installation in `appDir` still needs row `index`: not applied, not superseded by
// a later row of its group, and not older than a patch already applied (applied after it, it would bring
// back older files). `highest` is the ledger's highest id, looked up once by the caller.
bool IsRowNeeded(const TPatchList& table, std::int32_t index, const std::string& appDir,
                 std::optional<std::int32_t> highest);

// The highest id of the table's rows; nothing for a table without rows.
std::optional<std::int32_t> HighestListedPatch(const TPatchList& table);

// The first row after `index` in the same group as row `index`, or -1.
std::int32_t FindLaterInGroup(std::int32_t index);
std::int32_t FindLaterInGroup(const TPatchList& table, std::int32_t index);

} // namespace pc
