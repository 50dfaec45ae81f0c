// patchctl lint FILE: checks a patch list by the launcher's own reading rules and reports every problem
// with its line number, where the launcher would stop at the first.
#include "tools/patchctl/lint.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/line_list.h"
#include "launcher/patch_list.h"
#include "launcher/update_run.h"
#include "tools/patchctl/command.h"

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

class Report {
public:
    explicit Report(std::string file) : file_(std::move(file)) {}

    void Problem(int line, const std::string& text) {
        std::printf("%s:%d: %s\n", file_.c_str(), line, text.c_str());
        ++problems_;
    }
    void Information(int line, const std::string& text) {
        std::printf("%s:%d: info: %s\n", file_.c_str(), line, text.c_str());
    }
    int Problems() const { return problems_; }

private:
    std::string file_;
    int problems_ = 0;
};

// The field converted as ParsePatchList converts it; a failure is reported with the conversion's own
// message.
std::optional<std::int32_t> Number(Report& report, int line, const char* field, const std::string& text) {
    try {
        return ParseInteger(text);
    } catch (const EConvertError& e) {
        report.Problem(line, std::string(field) + " field: " + e.Message());
        return std::nullopt;
    }
}

std::string Counted(int n, const char* noun) {
    return FormatInteger(n) + " " + noun + (n == 1 ? "" : "s");
}

} // namespace

int LintList(const std::string& path, int& rowCount) {
    TStringList lines;
    lines.LoadLines(path);

    Report report(path);
    // Rows as the update run would see them, for the group test; a row whose group cannot be read takes
    // no part in it.
    auto table = std::make_unique<TPatchList>();
    std::vector<int> lineOfRow;
    std::map<std::int32_t, int> firstLineOfId;
    int rows = 0;

    for (int i = 0; i < lines.LineCount(); ++i) {
        const std::string& line = lines.LineAt(i);
        const int number = i + 1;
        if (!IsPatchListRow(line))
            continue;
        ++rows;
        if (rows == kPatchListCapacity + 1)
            report.Problem(number, "more than " + FormatInteger(kPatchListCapacity) +
                                       " rows: the launcher refuses the whole list");

        const TPatchRowText text = SplitPatchRow(line);
        if (text.terminatedFields < 5)
            report.Problem(number, "fewer than five TABs (" + FormatInteger(text.terminatedFields) +
                                       "): the missing fields are read as empty");
        const auto id = Number(report, number, "id", text.id);
        const auto size = Number(report, number, "size", text.size);
        const auto group = Number(report, number, "group", text.group);

        if (id) {
            const auto [it, first] = firstLineOfId.emplace(*id, number);
            if (!first)
                report.Problem(number, "id " + FormatInteger(*id) + " is listed twice (first on line " +
                                           FormatInteger(it->second) + ")");
        }
        const std::string stored = ArchiveFileName(text.url, true);
        if (stored.empty())
            report.Problem(number,
                           "URL without a last segment to store the archive under: '" + text.url + "'");
        else if (stored == "." || stored == "..")
            report.Problem(number, "URL whose last segment '" + stored + "' cannot name a file");
        if (size && *size < 0)
            report.Problem(number, "negative size " + FormatInteger(*size) +
                                       ": the launcher's update run stops at this row");

        if (rows <= kPatchListCapacity) {
            TPatchRec& row = table->items[static_cast<std::size_t>(++table->high)];
            row.id = id.value_or(0);
            row.group = group.value_or(0);
            lineOfRow.push_back(number);
        }
    }

    for (std::int32_t i = 0; i <= table->high; ++i) {
        const TPatchRec& row = table->items[static_cast<std::size_t>(i)];
        if (row.group == 0)
            continue;
        const std::int32_t later = FindLaterInGroup(*table, i);
        if (later != -1)
            report.Information(lineOfRow[static_cast<std::size_t>(i)],
                               "patch " + FormatInteger(row.id) + " of group " + FormatInteger(row.group) +
                                   " is superseded by patch " +
                                   FormatInteger(table->items[static_cast<std::size_t>(later)].id) +
                                   " (line " + FormatInteger(lineOfRow[static_cast<std::size_t>(later)]) +
                                   ") and is never downloaded");
    }

    rowCount = rows;
    return report.Problems();
}

namespace {

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fputs("usage: patchctl lint FILE\n", stderr);
        return 2;
    }
    int rows = 0;
    const int problems = LintList(args[0], rows);
    std::printf("%s: %s, %s\n", args[0].c_str(), Counted(rows, "row").c_str(),
                Counted(problems, "problem").c_str());
    return problems == 0 ? 0 : 1;
}

} // namespace
} // namespace pc::patchctl

static const pc::patchctl::Registration reg("lint", "lint FILE", &pc::patchctl::Run);
