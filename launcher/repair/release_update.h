// The update run's road to the latest release, when the list is made release by release: the direct row
// from the installation's release in place of the rows it stands for, or the latest snapshot in place of
// all of them (a new player's installation, or one further behind than the direct rows reach).
#pragma once

#include "launcher/list/client_manifest.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/release_road.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pc {

class UiPort;
class TDelivery;

struct TReleasePlan {
    TRoadFacts facts;
    TRoad road;
    TDirectRow direct;                   // for rkDirect
    std::vector<std::int32_t> standsFor; // for rkDirect: the ids of the rows it stands for, ascending
};

// The road for the installation in `appDir`, told in the log in one line. A row that `held` says is held
// back (its release time not come, not this installation's share yet) keeps the road to the rows one by
// one, where each waits as it should: neither a direct row nor the snapshot may bring its files early. An
// installation that holds nothing yet installs the latest snapshot all the same.
TReleasePlan PlanReleaseRoad(UiPort& ui, const std::string& appDir, const TPatchList& table,
                             const std::vector<TDirectRow>& direct,
                             const std::function<bool(const TPatchRec&)>& held);

// Whether `row` is one that the plan's direct row stands for; then `row` becomes the direct row.
bool TakeDirectInstead(const TReleasePlan& plan, TPatchRec& row);

// Downloads the list of removed files that the list's `line` names to `file`, checked against its SHA-256,
// reads it and removes `file`. Nothing, with `why`, when it cannot be had or read.
std::optional<std::vector<TRemovedFile>> FetchRemovedFiles(UiPort& ui, const TClientLine& line,
                                                           const std::string& file, TDelivery* delivery,
                                                           std::string& why);

// Fetches every file of the latest snapshot that the installation lacks or holds otherwise (the list file
// at `listFile` names it), checked and put in place; removes the files that the installation's release
// (`installed`; none for a new player's folder) had and the latest lacks, as the list's line of removed
// files names them; then records every row the snapshot holds. False when it could not be done whole
// (told in the log and through ReportDownloadFailure; nothing recorded).
bool HealToLatestRelease(UiPort& ui, const std::string& appDir, const TPatchList& table,
                         const std::string& listFile, std::optional<std::int32_t> installed,
                         TDelivery& delivery);

} // namespace pc
