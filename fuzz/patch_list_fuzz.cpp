// ParsePatchList on arbitrary bytes, against a reading of the list format written from its rules, and the
// group query on whatever table results.
#include "fuzz/fuzz_target.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/patch_list.h"

#include <memory>
#include <vector>

namespace pc::fuzz {
namespace {

struct Row {
    std::string id, url, size, run, group;
};

// Lines end at CR LF, a lone CR or a lone LF; the first NUL ends the text.
std::vector<std::string> ModelLines(std::string bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            lines.push_back(current);
            current.clear();
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            current += bytes[i];
        }
    }
    if (!current.empty())
        lines.push_back(current);
    return lines;
}

std::string Field(std::string& rest) {
    const auto tab = rest.find('\t');
    if (tab == std::string::npos)
        return "";
    std::string field = rest.substr(0, tab);
    rest = rest.substr(tab + 1);
    return field;
}

std::vector<Row> ModelRows(const std::string& bytes) {
    std::vector<Row> rows;
    for (std::string line : ModelLines(bytes)) {
        if (line.empty() || line[0] == '/')
            continue;
        Row row;
        row.id = Field(line);
        row.url = Field(line);
        row.size = Field(line);
        row.run = Field(line);
        row.group = Field(line);
        rows.push_back(row);
    }
    return rows;
}

bool Converts(const std::string& text) {
    try {
        ParseInteger(text);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

int Run(const std::uint8_t* data, std::size_t size) {
    static const auto table = std::make_unique<TPatchList>();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = ScratchDir() + kPatchListFileName;
    WriteFile(path, bytes);

    // The serial and expiry lines: a value only from the one well-formed line of its kind, and one that
    // writes back to that line.
    const TListStamps stamps = ReadListStamps(bytes);
    std::vector<std::string> serialLines, expiresLines;
    for (const std::string& line : ModelLines(bytes)) {
        if (StampKindOf(line) == TStampKind::Serial)
            serialLines.push_back(line);
        else if (StampKindOf(line) == TStampKind::Expires)
            expiresLines.push_back(line);
    }
    FUZZ_CHECK(stamps.serial.has_value() == (serialLines.size() == 1 && ParseSerialLine(serialLines[0])));
    FUZZ_CHECK(stamps.serialProblem.empty() == (serialLines.empty() || stamps.serial.has_value()));
    if (stamps.serial)
        FUZZ_CHECK(ParseSerialLine(SerialLine(*stamps.serial)) == stamps.serial);
    FUZZ_CHECK(stamps.expires.has_value() == (expiresLines.size() == 1 && ParseExpiresLine(expiresLines[0])));
    FUZZ_CHECK(stamps.expiresProblem.empty() == (expiresLines.empty() || stamps.expires.has_value()));
    if (stamps.expires)
        FUZZ_CHECK(ExpiresLine(*stamps.expires) == expiresLines[0]);

    const std::vector<Row> rows = ModelRows(bytes);
    // The first row whose numeric fields do not all convert ends the parse.
    std::size_t firstBad = rows.size();
    for (std::size_t i = 0; i < rows.size() && firstBad == rows.size(); ++i)
        if (!Converts(rows[i].id) || !Converts(rows[i].size) || !Converts(rows[i].group))
            firstBad = i;

    try {
        ParsePatchList(path, *table);
        FUZZ_CHECK(firstBad == rows.size());
    } catch (const EConvertError&) {
        FUZZ_CHECK(firstBad < rows.size());
        FUZZ_CHECK(table->high == static_cast<std::int32_t>(firstBad));
        return 0;
    }
    FUZZ_CHECK(table->high == static_cast<std::int32_t>(rows.size()) - 1);
    for (std::int32_t i = 0; i <= table->high; ++i) {
        const TPatchRec& rec = table->items[static_cast<std::size_t>(i)];
        const Row& row = rows[static_cast<std::size_t>(i)];
        FUZZ_CHECK(rec.id == ParseInteger(row.id));
        FUZZ_CHECK(rec.url == row.url);
        FUZZ_CHECK(rec.size == ParseInteger(row.size));
        FUZZ_CHECK(rec.run == row.run);
        FUZZ_CHECK(rec.group == ParseInteger(row.group));

        const std::int32_t later = FindLaterInGroup(*table, i);
        if (later == -1) {
            for (std::int32_t j = i + 1; j <= table->high; ++j)
                FUZZ_CHECK(table->items[static_cast<std::size_t>(j)].group != rec.group);
        } else {
            FUZZ_CHECK(later > i && later <= table->high);
            FUZZ_CHECK(table->items[static_cast<std::size_t>(later)].group == rec.group);
            for (std::int32_t j = i + 1; j < later; ++j)
                FUZZ_CHECK(table->items[static_cast<std::size_t>(j)].group != rec.group);
        }
    }
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(patch_list, pc::fuzz::Run)
