// The update run: patch list, missing patches, download, extraction, post-patch program, ledger.
#pragma once

#include "launcher/install/own_files.h"

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace pc {

class UiPort;
class TDelivery;
struct TListSource;
struct TPatchRec;

// The whole run, on the window thread; log lines and progress go to the window through `ui`. Works in the
// installation in `appDir` (ending with '/') on the patch list of `list`, read into `PatchList()`. Patches
// are applied in the order of their ids: the run ends at the first needed row that cannot be downloaded
// (later rows wait for the next start), and a row whose id is below one the ledger holds is never applied.
// Errors are not caught: one that arises ends the run where it stands, leaving the patch list file, the
// failed archive and the ledger as they are.
void UpdateRun(UiPort& ui, const std::string& appDir, const TListSource& list);

// The log line of a run that ended on rows that could not be downloaded.
inline constexpr const char* kUpdateNotCompleteLine =
    "- The update is not complete; it will be tried again at the next start";
// The log line after an error ended the run (the error box has shown it): the update did not finish; a
// full disk or a refused file of the installation adds the path concerned in brackets; a lock file that is
// not a regular file is named instead, the update never having begun.
std::string UpdateNotFinishedLine(const std::exception& error);

// Applies the downloaded archive of patch list row `row`: extracts it over the installation in `appDir` with
// the window's archive component, deletes it, runs the row's program and waits for it, then records the patch
// in the ledger. An extraction that stopped early (an Abort answer, a full disk) records nothing and raises:
// EAbort, or EInOutError "Disk full". A delta patch's companion is read under the run's delivery policy when
// one is given.
void ApplyPatch(UiPort& ui, const std::string& appDir, const TPatchRec& row, TDelivery* delivery = nullptr,
                const std::vector<std::int32_t>& standsFor = {});

} // namespace pc
