#include "launcher/list/patch_list.h"

#include "framework/crypto.h"
#include "framework/helpers.h"
#include "framework/line_list.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/release_road.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <unordered_set>

namespace pc {
namespace {

// Takes the text before the first TAB of `rest` and removes it with its TAB. Without a TAB the field
// is empty and `rest` stays as it is.
std::string TakeField(std::string& rest) {
    const auto tab = rest.find('\t');
    if (tab == std::string::npos)
        return {};
    std::string field = rest.substr(0, tab);
    rest.erase(0, tab + 1);
    return field;
}

bool IsTagKey(std::string_view key) {
    return std::all_of(key.begin(), key.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

} // namespace

bool IsPatchListRow(std::string_view line) {
    return !line.empty() && line.front() != '/';
}

TPatchRowText SplitPatchRow(const std::string& line) {
    TPatchRowText text;
    std::string rest = line;
    for (std::string* field : {&text.id, &text.url, &text.size, &text.run, &text.group}) {
        if (rest.find('\t') == std::string::npos)
            break; // this field and the ones after it stay empty
        *field = TakeField(rest);
        ++text.terminatedFields;
    }
    if (text.terminatedFields != 5)
        return text;
    const auto sixthEnd = rest.find('\t');
    text.sixth = rest.substr(0, sixthEnd);
    if (sixthEnd == std::string::npos)
        return text;
    // Walked by position: a hostile line of millions of TABs costs one pass.
    const std::string_view tail = std::string_view(rest).substr(sixthEnd + 1);
    for (std::size_t start = 0; start < tail.size();) {
        const auto tab = std::min(tail.find('\t', start), tail.size());
        const std::string_view field = tail.substr(start, tab - start);
        if (const auto eq = field.find('=');
            eq != std::string_view::npos && eq > 0 && IsTagKey(field.substr(0, eq)))
            text.tags.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        start = tab + 1;
    }
    return text;
}

std::optional<std::string> RowTag(const TPatchRowText& text, std::string_view key) {
    for (const auto& [name, value] : text.tags)
        if (name == key)
            return value;
    return std::nullopt;
}

std::optional<int> ParseRolloutPercent(std::string_view text) {
    if (text.empty() || text.size() > 3 || text[0] == '0')
        return std::nullopt;
    int percent = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        percent = percent * 10 + (c - '0');
    }
    if (percent > 100)
        return std::nullopt;
    return percent;
}

std::string RowSha256(const TPatchRowText& text) {
    if (!IsSha256Text(text.sixth))
        return {};
    return AsciiLowerCase(text.sixth);
}

TPatchList& PatchList() {
    static TPatchList table;
    return table;
}

void ParsePatchList(const std::string& path) {
    ParsePatchList(path, PatchList());
}

void ParsePatchList(const std::string& path, TPatchList& table) {
    ParsePatchList(path, table, nullptr);
}

void ParsePatchList(const std::string& path, TPatchList& table,
                    const std::function<void(std::string_view)>& otherLine) {
    // Lines are visited, not kept: skipped lines cost nothing, whatever their number.
    bool started = false;
    TStringList::VisitFileLines(path, [&](std::string_view text) {
        if (!started) {
            table.high = -1; // only once the file has been read: a failed read leaves the table alone
            started = true;
        }
        if (!IsPatchListRow(text)) {
            if (otherLine && !text.empty())
                otherLine(text);
            return;
        }
        if (table.high + 1 >= kPatchListCapacity)
            throw EPatchListError("The patch list holds more than " + FormatInteger(kPatchListCapacity) +
                                  " patches");
        TPatchRec& row = table.items[static_cast<std::size_t>(++table.high)];
        const TPatchRowText fields = SplitPatchRow(std::string(text));
        row.id = ParseInteger(fields.id);
        row.url = fields.url;
        row.size = ParseInteger(fields.size);
        row.run = fields.run;
        row.group = ParseInteger(fields.group);
        row.sha256 = RowSha256(fields);
        row.availableAt = 0;
        row.rolloutPercent = 100;
        row.malformedAvailable = row.malformedRollout = false;
        if (const std::optional<std::string> moment = RowTag(fields, kAvailableTag)) {
            const std::optional<std::int64_t> at = ParseUtcTime(*moment);
            row.availableAt = at.value_or(0);
            row.malformedAvailable = !at;
        }
        if (const std::optional<std::string> share = RowTag(fields, kRolloutTag)) {
            const std::optional<int> percent = ParseRolloutPercent(*share);
            row.rolloutPercent = percent.value_or(0);
            row.malformedRollout = !percent;
        }
        row.release = RowReleaseTag(fields);
        row.snapshotBytes = RowSnapshotTag(fields);
    });
    if (!started)
        table.high = -1;
}

namespace {

// The ledger as last read, kept for the run: a catch-up over thousands of rows must not read the whole
// file once per row. It is read again whenever the file is no longer the one that was read (another
// program replaced or changed it), so every answer is still the file's own.
class TLedgerCache {
public:
    // Brings the cache to the ledger at `path` as it is now; false when there is no ledger.
    bool Refresh(const std::string& path) {
        TFileIdentity now;
        if (!FileIdentityOf(path, now)) {
            Forget();
            return false;
        }
        if (!valid_ || path != path_ || !(now == identity_)) {
            Forget();
            lines_.LoadLines(path);
            for (int i = 0; i < lines_.LineCount(); ++i) {
                present_.insert(lines_.LineAt(i));
                NoteId(lines_.LineAt(i));
            }
            path_ = path;
            identity_ = now;
            valid_ = true;
        }
        return true;
    }

    // The ids are decimal digits with an optional minus sign, which have no case: the case-insensitive
    // whole-line match is an exact one.
    bool Holds(const std::string& line) const { return present_.count(line) != 0; }
    std::optional<std::int32_t> Highest() const { return highest_; }

    void Append(const std::string& path, const std::string& line) {
        if (!Refresh(path))
            lines_ = TStringList();
        lines_.AppendLine(line);
        try {
            lines_.SaveLines(path);
        } catch (...) {
            Forget(); // the file is the old one; the next query reads it afresh
            throw;
        }
        present_.insert(line);
        NoteId(line);
        path_ = path;
        valid_ = FileIdentityOf(path, identity_);
    }

private:
    void Forget() {
        valid_ = false;
        lines_ = TStringList();
        present_.clear();
        highest_.reset();
    }

    // Lines that are no id (a hand-edited ledger) take no part in the order of patches.
    void NoteId(const std::string& line) {
        std::int32_t id = 0;
        try {
            id = ParseInteger(line);
        } catch (const EConvertError&) {
            return;
        }
        if (!highest_ || id > *highest_)
            highest_ = id;
    }

    bool valid_ = false;
    std::string path_;
    TFileIdentity identity_;
    TStringList lines_;
    std::unordered_set<std::string> present_;
    std::optional<std::int32_t> highest_;
};

TLedgerCache& Ledger() {
    static TLedgerCache cache;
    return cache;
}

} // namespace

bool IsPatchApplied(const std::string& appDir, std::int32_t id) {
    const std::string ledger = appDir + kLedgerFileName;
    return Ledger().Refresh(ledger) && Ledger().Holds(FormatInteger(id));
}

std::optional<std::int32_t> HighestAppliedPatch(const std::string& appDir) {
    if (!Ledger().Refresh(appDir + kLedgerFileName))
        return std::nullopt;
    return Ledger().Highest();
}

void RecordPatchApplied(const std::string& appDir, std::int32_t id) {
    Ledger().Append(appDir + kLedgerFileName, FormatInteger(id));
}

std::int32_t FindLaterInGroup(std::int32_t index) {
    return FindLaterInGroup(PatchList(), index);
}

std::int32_t FindLaterInGroup(const TPatchList& table, std::int32_t index) {
    if (index < 0 || index > table.high)
        return -1;
    const std::int32_t group = table.items[static_cast<std::size_t>(index)].group;
    for (std::int32_t j = index + 1; j <= table.high; ++j) {
        if (table.items[static_cast<std::size_t>(j)].group == group)
            return j;
    }
    return -1;
}

std::optional<std::int32_t> HighestListedPatch(const TPatchList& table) {
    std::optional<std::int32_t> highest;
    for (std::int32_t i = 0; i <= table.high; ++i)
        highest = std::max(highest.value_or(INT32_MIN), table.items[static_cast<std::size_t>(i)].id);
    return highest;
}

bool IsRowNeeded(const TPatchList& table, std::int32_t index, const std::string& appDir,
                 std::optional<std::int32_t> highest) {
    const TPatchRec& row = table.items[static_cast<std::size_t>(index)];
    if (highest && row.id < *highest)
        return false;
    if (IsPatchApplied(appDir, row.id))
        return false;
    // Only the last row of a group is applied: a later one carries everything the earlier ones did.
    return row.group == 0 || FindLaterInGroup(table, index) == -1;
}

} // namespace pc
