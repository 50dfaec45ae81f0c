// Releases on the patch list and the road from an installation's release to the latest. A list made
// release by release carries, for each release n, one ordinary row from release n-1 (tagged `release=n`,
// and `snapshot=BYTES`, the size of release n's client.zip) and direct rows from earlier releases, each on a
// line of its own that launchers without releases skip like every line that starts with '/':
//
//     //direct<TAB><a row, as any row, tagged release=n and from=m>
//
// A release too large for one row has several rows from n-1, each tagged `release=n`, applied in id order;
// its direct rows from earlier releases stand for all of them.
//
// The installation's release follows from its ledger: the highest release whose rows it holds, every one.
#pragma once

#include "launcher/list/patch_list.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

inline constexpr const char* kDirectRowWord = "//direct";
inline constexpr const char* kReleaseTag = "release";
inline constexpr const char* kFromTag = "from";
inline constexpr const char* kSnapshotTag = "snapshot";

// A row that takes an installation from release `from` to release `release` in one step; its id is the id
// of release `release`'s own row.
struct TDirectRow {
    TPatchRec row;
    std::int32_t from = 0;
    std::int32_t release = 0;
};

// The release a row completes (its `release` tag; 0 for none) and the size of that release's client.zip
// (its `snapshot` tag; 0 for none).
std::int32_t RowReleaseTag(const TPatchRowText& text);
std::int64_t RowSnapshotTag(const TPatchRowText& text);

// Whether the line's first field is the direct row word, well formed or not.
bool IsDirectRowLine(std::string_view line);
// Adds the direct row of `line` to `rows`; a line that is no direct row, or one whose fields or tags do not
// fit, is passed over (a launcher without releases passes it over as well).
void TakeDirectRowLine(std::string_view line, std::vector<TDirectRow>& rows);

// What the road is chosen by, all of it from the list and the ledger.
struct TRoadFacts {
    std::optional<std::int32_t> installed; // the installation's release; none when the list cannot tell
    bool fromNothing = false;              // the installation holds nothing but the launcher's own files
    std::int32_t latest = 0;               // the list's highest release; 0 for a list without releases
    std::map<std::int32_t, std::int64_t>
        chainBytes; // release n: the size of its rows from n-1 still to apply
    std::map<std::int32_t, std::int32_t> chainSteps;  // release n: how many rows those are (1 when not said)
    std::map<std::int32_t, std::int64_t> directBytes; // release m: the size of its direct row to `latest`
    std::optional<std::int64_t> snapshotBytes;        // the latest release's client.zip
};

enum class TRoadKind {
    rkRows,   // the rows one by one, as every launcher applies them (nothing else is known or cheaper)
    rkDirect, // the direct row from the installed release
    rkHeal,   // the latest snapshot: every file that differs fetched from it (all of them from nothing)
};

struct TRoad {
    TRoadKind kind = TRoadKind::rkRows;
    std::int64_t bytes = 0; // what the road is judged to cost; for healing at most this
    std::int32_t steps = 0; // rows taken one by one
};

// The cheapest road: the direct row when there is one and the chain is not cheaper; for an installation
// further behind than the direct rows reach, the cheaper of the chain and the snapshot; from nothing, the
// snapshot. A chain with a missing row cannot be taken.
TRoad ChooseRoad(const TRoadFacts& facts);

// The log line that tells the road, e.g. "- Updating from release 3 to release 7 in one step (41.2 MB)";
// empty when there is nothing to tell (rows of a list without releases).
std::string RoadLine(const TRoadFacts& facts, const TRoad& road);

// The facts for the installation in `appDir` (ending with its separator) from the parsed table and
// direct rows.
TRoadFacts RoadFactsOf(const TPatchList& table, const std::vector<TDirectRow>& direct,
                       const std::string& appDir);

// Whether the installation holds nothing but the launcher's own files (a new player's folder).
bool HoldsOnlyLauncherFiles(const std::string& appDir);

} // namespace pc
