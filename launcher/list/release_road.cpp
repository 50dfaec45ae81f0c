#include "launcher/list/release_road.h"

#include "framework/file_system.h"
#include "framework/helpers.h"
#include "launcher/install/own_files.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace pc {
namespace {

// A release number or a size from a tag: decimal digits only, positive, within the integer's range.
std::optional<std::int64_t> TagNumber(const TPatchRowText& text, std::string_view key) {
    const std::optional<std::string> value = RowTag(text, key);
    if (!value || value->empty() || value->size() > 18 ||
        !std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::int64_t number = std::stoll(*value);
    return number > 0 ? std::optional(number) : std::nullopt;
}

std::string Megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

} // namespace

bool IsDirectRowLine(std::string_view line) {
    const std::string_view word(kDirectRowWord);
    return line.substr(0, word.size()) == word && (line.size() == word.size() || line[word.size()] == '\t');
}

void TakeDirectRowLine(std::string_view line, std::vector<TDirectRow>& rows) {
    if (!IsDirectRowLine(line) || line.size() <= std::string_view(kDirectRowWord).size())
        return;
    const TPatchRowText text =
        SplitPatchRow(std::string(line.substr(std::string_view(kDirectRowWord).size() + 1)));
    const std::optional<std::int64_t> release = TagNumber(text, kReleaseTag),
                                      from = TagNumber(text, kFromTag);
    if (text.terminatedFields != 5 || !release || !from || *from >= *release || *release > INT32_MAX)
        return;
    TDirectRow direct;
    try {
        direct.row.id = ParseInteger(text.id);
        direct.row.size = ParseInteger(text.size);
        direct.row.group = ParseInteger(text.group);
    } catch (const EConvertError&) {
        return;
    }
    if (direct.row.group != 0 || !text.run.empty() || direct.row.size < 0)
        return; // a direct row stands for rows applied one by one: no group, no program of its own
    direct.row.url = text.url;
    direct.row.sha256 = RowSha256(text);
    direct.from = static_cast<std::int32_t>(*from);
    direct.release = static_cast<std::int32_t>(*release);
    rows.push_back(std::move(direct));
}

std::int32_t RowReleaseTag(const TPatchRowText& text) {
    const std::optional<std::int64_t> release = TagNumber(text, kReleaseTag);
    return release && *release <= INT32_MAX ? static_cast<std::int32_t>(*release) : 0;
}

std::int64_t RowSnapshotTag(const TPatchRowText& text) {
    return TagNumber(text, kSnapshotTag).value_or(0);
}

TRoad ChooseRoad(const TRoadFacts& facts) {
    TRoad rows;
    if (facts.latest == 0)
        return rows;
    if (facts.fromNothing)
        return facts.snapshotBytes ? TRoad{TRoadKind::rkHeal, *facts.snapshotBytes, 0} : rows;
    if (!facts.installed || *facts.installed >= facts.latest)
        return rows;
    std::optional<std::int64_t> chain = 0;
    std::int32_t steps = 0;
    for (std::int32_t n = *facts.installed + 1; n <= facts.latest && chain; ++n) {
        const auto it = facts.chainBytes.find(n);
        chain = it == facts.chainBytes.end() ? std::nullopt : std::optional(*chain + it->second);
        const auto rows = facts.chainSteps.find(n);
        steps += rows == facts.chainSteps.end() ? 1 : rows->second;
    }
    const auto direct = facts.directBytes.find(*facts.installed);
    // The order of preference where costs tie: one step, then the rows, then the snapshot.
    std::optional<TRoad> best;
    auto consider = [&best](TRoad road) {
        if (!best || road.bytes < best->bytes)
            best = road;
    };
    if (direct != facts.directBytes.end())
        consider({TRoadKind::rkDirect, direct->second, 1});
    if (chain)
        consider({TRoadKind::rkRows, *chain, steps});
    if (direct == facts.directBytes.end() && facts.snapshotBytes)
        consider({TRoadKind::rkHeal, *facts.snapshotBytes, 0});
    return best.value_or(rows);
}

std::string RoadLine(const TRoadFacts& facts, const TRoad& road) {
    if (facts.latest == 0 || (road.kind == TRoadKind::rkRows && (!facts.installed || road.steps == 0)))
        return {};
    const std::string latest = "release " + std::to_string(facts.latest);
    if (facts.fromNothing)
        return "- Installing " + latest + " (" + Megabytes(road.bytes) + ")";
    const std::string from = "- Updating from release " + std::to_string(*facts.installed) + " to " + latest;
    switch (road.kind) {
    case TRoadKind::rkDirect:
        return from + " in one step (" + Megabytes(road.bytes) + ")";
    case TRoadKind::rkHeal:
        return from + " from its whole client (at most " + Megabytes(road.bytes) + ")";
    case TRoadKind::rkRows:
        break;
    }
    return from + " in " + std::to_string(road.steps) + (road.steps == 1 ? " step (" : " steps (") +
           Megabytes(road.bytes) + ")";
}

TRoadFacts RoadFactsOf(const TPatchList& table, const std::vector<TDirectRow>& direct,
                       const std::string& appDir) {
    TRoadFacts facts;
    std::optional<std::int32_t> lowest;
    // Per release: whether every one of its rows is applied. A release split into several rows that the
    // installation holds only in part is not its release yet; the rows it lacks are what its chain costs.
    std::map<std::int32_t, bool> whole;
    for (std::int32_t i = 0; i <= table.high; ++i) {
        const TPatchRec& row = table.items[static_cast<std::size_t>(i)];
        if (row.release == 0)
            continue;
        const bool applied = IsPatchApplied(appDir, row.id);
        facts.chainBytes[row.release] += applied ? 0 : row.size;
        facts.chainSteps[row.release] += applied ? 0 : 1;
        whole.try_emplace(row.release, true).first->second &= applied;
        lowest = std::min(lowest.value_or(row.release), row.release);
        if (row.release > facts.latest) {
            facts.latest = row.release;
            facts.snapshotBytes = row.snapshotBytes > 0 ? std::optional(row.snapshotBytes) : std::nullopt;
        }
    }
    if (facts.latest == 0)
        return facts;
    for (const auto& [release, applied] : whole)
        if (applied)
            facts.installed = std::max(facts.installed.value_or(0), release);
    for (const TDirectRow& row : direct)
        if (row.release == facts.latest)
            facts.directBytes[row.from] = row.row.size;
    facts.fromNothing = HoldsOnlyLauncherFiles(appDir);
    // An installation that holds no release's row is the release the list's rows start from.
    if (!facts.installed)
        facts.installed = *lowest - 1;
    return facts;
}

bool HoldsOnlyLauncherFiles(const std::string& appDir) {
    bool read = false;
    const std::vector<std::string> names = fsys::ListDirectory(appDir, &read);
    const std::string program = ExecutablePath();
    const std::string executable = program.substr(program.find_last_of("/\\") + 1);
    return read && std::all_of(names.begin(), names.end(), [&executable](const std::string& name) {
               return IsLauncherOwnFile(name, executable);
           });
}

} // namespace pc
