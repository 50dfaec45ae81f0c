// patchctl lint FILE: checks a patch list by the launcher's own reading rules and reports every problem
// with its line number, where the launcher would stop at the first. With --sig it checks the list's
// signature; the checks that download (a list given by its URL, --fetch) are in lint_fetch.cpp.
#include "tools/patchctl/lint.h"
#include "archive/extract_names.h"
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/install_lock.h"
#include "framework/line_list.h"
#include "launcher/config.h"
#include "launcher/install/installation.h"
#include "launcher/install/own_files.h"
#include "launcher/launching.h"
#include "launcher/list/client_manifest.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/list_signature.h"
#include "launcher/list/patch_list.h"
#include "launcher/list/trust_statement.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/lint_fetch.h"
#include "tools/patchctl/lint_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc::patchctl {
namespace {

// The field converted as ParsePatchList converts it; a failure is reported with the conversion's own
// message.
std::optional<std::int32_t> Number(LintReport& report, int line, const char* field, const std::string& text) {
    try {
        return ParseInteger(text);
    } catch (const EConvertError& e) {
        report.Problem(line, std::string(field) + " field: " + e.Message());
        return std::nullopt;
    }
}

// After the fifth TAB a row may carry the archive's SHA-256; other text there is ignored by the launcher.
// Text that is nearly a digest was most likely meant as one (cut short, one digit too many, another hash):
// the launcher would then not check the archive at all, so that is a problem.
void CheckSixthField(LintReport& report, int line, const std::string& sixth) {
    if (sixth.empty() || IsSha256Text(sixth))
        return;
    const auto hexDigits = static_cast<std::size_t>(std::count_if(sixth.begin(), sixth.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    }));
    constexpr std::size_t kShortestDigestLike = 16;
    if (sixth.size() >= kShortestDigestLike && hexDigits * 10 >= sixth.size() * 9)
        report.Problem(
            line, "sixth field is not a valid SHA-256 (" + FormatInteger(static_cast<int>(sixth.size())) +
                      " characters, " + FormatInteger(static_cast<int>(hexDigits)) +
                      " of them hexadecimal; 64 hexadecimal digits expected): the archive is not checked");
    else
        report.Information(line, "text after the fifth TAB is not a SHA-256 and is ignored: '" + sixth + "'");
}

struct WholeFileCauses {
    bool byteOrderMark = false; // the first line is checked without it, the mark being reported once
    bool htmlPage = false;      // no list at all: its lines are not reported one by one
};

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Causes that show in the file as a whole. A UTF-8 byte-order mark (Notepad saves one) becomes part of
// the first line, so the launcher fails on the first row's id, or reads a first comment as a row. An HTML
// page (a wrong URL, a server's error or login page) is no list at all.
WholeFileCauses ReportWholeFileCauses(LintReport& report, const std::string& path) {
    WholeFileCauses causes;
    std::string head(4096, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t start = 0;
    if (head.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
        report.Problem(1,
                       "the file starts with a UTF-8 byte-order mark (bytes EF BB BF, which Notepad writes): "
                       "the launcher reads them as part of the first line; save the list without it");
        causes.byteOrderMark = true;
        start = kByteOrderMark.size();
    }
    const std::string lower =
        AsciiLowerCase(head.substr(std::min(head.find_first_not_of(" \t\r\n", start), head.size())));
    if (lower.empty() || lower.front() != '<')
        return causes;
    for (const char* tag : {"<!doctype html", "<html", "<head", "<body"}) {
        if (lower.find(tag) != std::string::npos) {
            report.Problem(1,
                           "this is an HTML page, not a patch list: check the list's URL (a server answers "
                           "a wrong address or a login with a page)");
            causes.htmlPage = true;
            break;
        }
    }
    return causes;
}

// A row's release time and rollout share. This launcher never applies a row whose tag it cannot read; a
// launcher of the original kind applies every tagged row at once, which the information says.
void CheckReleaseTags(LintReport& report, int line, const TPatchRowText& text) {
    if (const std::optional<std::string> moment = RowTag(text, kAvailableTag)) {
        if (!ParseUtcTime(*moment))
            report.Problem(line,
                           "release time '" + *moment +
                               "' is not a UTC time as 2026-12-10T18:00:00Z: the launcher never applies "
                               "the row");
        else
            report.Information(line, "available from " + *moment +
                                         "; launchers download it before and apply it from then on");
    }
    if (const std::optional<std::string> share = RowTag(text, kRolloutTag)) {
        if (!ParseRolloutPercent(*share))
            report.Problem(line, "rollout share '" + *share +
                                     "' is not a whole number of percent from 1 to 100: the launcher never "
                                     "applies the row");
        else
            report.Information(line, "rolling out to " + *share + "% of installations");
    }
}

// A row whose fields are separated by blanks instead of TABs (an editor that turns TABs into spaces): the
// launcher splits rows at TABs only. Reported as that one cause instead of its consequences; returns
// whether it was.
bool ReportBlankSeparatedRow(LintReport& report, int line, const std::string& text,
                             const TPatchRowText& fields) {
    if (fields.terminatedFields >= 5)
        return false;
    const auto lastTab = text.rfind('\t');
    const std::string rest = lastTab == std::string::npos ? text : text.substr(lastTab + 1);
    std::vector<std::string> words;
    for (std::size_t at = rest.find_first_not_of(' '); at != std::string::npos;
         at = rest.find_first_not_of(' ', at)) {
        const auto end = std::min(rest.find(' ', at), rest.size());
        words.push_back(rest.substr(at, end - at));
        at = end;
    }
    if (words.size() < static_cast<std::size_t>(std::max(2, 4 - fields.terminatedFields)))
        return false;
    if (fields.terminatedFields == 0) {
        try {
            ParseInteger(words.front());
        } catch (const EConvertError&) {
            return false;
        }
    }
    report.Problem(line,
                   "blanks where TABs belong: the fields are separated by blanks, but the launcher splits "
                   "a row at TABs only (" +
                       FormatInteger(fields.terminatedFields) +
                       " TABs; an editor may have turned them "
                       "into spaces)");
    return true;
}

// The serial and expiry lines: each well formed and given once, as launchers with a key insist.
class StampLineCheck {
public:
    void Check(LintReport& report, int line, const std::string& text) {
        const TStampKind kind = StampKindOf(text);
        if (kind == TStampKind::None)
            return;
        const bool serial = kind == TStampKind::Serial;
        const bool wellFormed =
            serial ? ParseSerialLine(text).has_value() : ParseExpiresLine(text).has_value();
        if (!wellFormed)
            report.Problem(line,
                           serial ? "serial line is not of the form '//serial N' (1 to 18 decimal digits): "
                                    "launchers with a patchlist_key take the list as having no serial"
                                  : "expiry line is not of the form '//expires YYYY-MM-DDTHH:MM:SSZ': "
                                    "launchers with a patchlist_key take the list as expired");
        int& first = serial ? firstSerial_ : firstExpires_;
        if (first != 0)
            report.Problem(line, std::string(serial ? "serial" : "expiry") +
                                     " line given twice (first on line " + FormatInteger(first) +
                                     "): launchers with a patchlist_key read neither");
        else
            first = line;
    }

private:
    int firstSerial_ = 0;
    int firstExpires_ = 0;
};

// The mirror lines: each usable, each prefix given once, and each covering some row (checked at the end).
class MirrorLineCheck {
public:
    void Check(LintReport& report, int line, const std::string& text) {
        if (!IsMirrorLine(text))
            return;
        const TMirrorLine parsed = ParseMirrorLine(text);
        if (!parsed.usable) {
            report.Problem(line, parsed.problem + ": launchers skip this mirror line");
            return;
        }
        if (!parsed.problem.empty())
            report.Problem(line, parsed.problem);
        if (++usable_ == kMaxMirrorLines + 1)
            report.Problem(line, "more than " + std::to_string(kMaxMirrorLines) +
                                     " mirror lines: launchers ignore this one and those after it");
        const auto [it, first] = lineOfPrefix_.emplace(parsed.rule.prefix, line);
        if (!first) {
            report.Problem(line, "mirror prefix " + parsed.rule.prefix + " given twice (first on line " +
                                     FormatInteger(it->second) + "): launchers use the first line only");
            return;
        }
        rules_.emplace_back(line, parsed.rule);
    }
    void CheckCoverage(LintReport& report, const std::vector<std::string>& rowUrls) const {
        for (const auto& [line, rule] : rules_) {
            const std::string& prefix = rule.prefix;
            const bool covers =
                std::any_of(rowUrls.begin(), rowUrls.end(), [&prefix](const std::string& url) {
                    return url.compare(0, prefix.size(), prefix) == 0;
                });
            if (!covers)
                report.Information(line, "mirror prefix " + prefix + " covers no row of this list");
        }
    }

private:
    std::size_t usable_ = 0;
    std::map<std::string, int> lineOfPrefix_;
    std::vector<std::pair<int, TMirrorRule>> rules_;
};

// The line that names the client manifest: well formed, given once, with a URL that installations fetch;
// and the line of removed files beside it, well formed and given once.
class ClientLineCheck {
public:
    void Check(LintReport& report, int line, const std::string& text) {
        if (IsRemovedLineWord(text)) {
            if (!ReadRemovedReference(text).line)
                report.Problem(line,
                               "line of removed files is not of the form '//client-removed URL SHA256': "
                               "installations healing from an older release cannot complete");
            else if (firstRemoved_ != 0)
                report.Problem(line, "line of removed files given twice (first on line " +
                                         FormatInteger(firstRemoved_) +
                                         "): healing installations cannot complete");
            else
                firstRemoved_ = line;
            return;
        }
        if (!IsClientLineWord(text))
            return;
        const std::optional<TClientLine> client = ParseClientLine(text);
        if (!client)
            report.Problem(line,
                           "client line is not of the form '//client URL SHA256 PATCH' (the SHA-256 in "
                           "64 lower-case hexadecimal digits, PATCH the id of the last patch the snapshot "
                           "holds): launchers find no client manifest");
        else if (!IsUrl(client->url))
            report.Problem(line, "client line's URL '" + client->url + "' is not an http:// or https:// URL");
        if (first_ != 0)
            report.Problem(line, "client line given twice (first on line " + FormatInteger(first_) +
                                     "): launchers use neither");
        else
            first_ = line;
    }

private:
    int first_ = 0;
    int firstRemoved_ = 0;
};

} // namespace

int LintList(const std::string& path, const std::string& label, int& rowCount) {
    TStringList lines;
    lines.LoadLines(path);

    LintReport report(label);
    const WholeFileCauses causes = ReportWholeFileCauses(report, path);
    if (causes.htmlPage) {
        rowCount = 0;
        for (int i = 0; i < lines.LineCount(); ++i)
            rowCount += IsPatchListRow(lines.LineAt(i)) ? 1 : 0;
        return report.Problems();
    }
    const std::string firstWithoutMark =
        causes.byteOrderMark && lines.LineCount() > 0 ? lines.LineAt(0).substr(kByteOrderMark.size()) : "";
    // Rows as the update run would see them, for the group test; a row whose group cannot be read takes
    // no part in it.
    auto table = std::make_unique<TPatchList>();
    std::vector<int> lineOfRow;
    std::map<std::int32_t, int> firstLineOfId;
    int rows = 0;
    StampLineCheck stampLines;
    MirrorLineCheck mirrorLines;
    std::vector<std::string> rowUrls;
    ClientLineCheck clientLine;

    for (int i = 0; i < lines.LineCount(); ++i) {
        const std::string& line = i == 0 && causes.byteOrderMark ? firstWithoutMark : lines.LineAt(i);
        const int number = i + 1;
        if (!IsPatchListRow(line)) {
            stampLines.Check(report, number, line);
            mirrorLines.Check(report, number, line);
            clientLine.Check(report, number, line);
            continue;
        }
        ++rows;
        if (rows == kPatchListCapacity + 1)
            report.Problem(number, "more than " + FormatInteger(kPatchListCapacity) +
                                       " rows: the launcher refuses the whole list");

        const TPatchRowText text = SplitPatchRow(line);
        if (ReportBlankSeparatedRow(report, number, line, text))
            continue;
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
        rowUrls.push_back(text.url);
        const std::string stored = ArchiveFileName(text.url);
        if (stored.empty())
            report.Problem(number,
                           "URL without a last segment to store the archive under: '" + text.url + "'");
        else if (stored == "." || stored == "..")
            report.Problem(number, "URL whose last segment '" + stored + "' cannot name a file");
        // This launcher stores archives apart from its own files, but a launcher of the original kind
        // saves an archive under its URL's last segment, truncates the file of that name and deletes it
        // after the extraction.
        else if (IsLauncherOwnFile(stored))
            report.Problem(number, "URL whose last segment '" + stored +
                                       "' names one of the launcher's own files: a launcher that stores the "
                                       "archive under that name overwrites and then deletes it");
        else if (const std::string safe = StoredArchiveName(text.url); safe != stored)
            // A query string, a name too long or characters a file system refuses: this launcher stores
            // the archive under a safe name, a launcher of the original kind may fail the row.
            report.Information(number, "URL whose last segment '" + stored + "' is stored as '" + safe + "'");
        if (size && *size < 0)
            report.Problem(number, "negative size " + FormatInteger(*size) +
                                       ": the launcher's update run stops at this row");
        CheckSixthField(report, number, text.sixth);
        CheckReleaseTags(report, number, text);
        if (ProgramFieldMayLeaveInstallation(text.run))
            report.Problem(number,
                           "program field '" + text.run +
                               "' names a program outside the installation: the launcher does not run it");

        if (rows <= kPatchListCapacity) {
            TPatchRec& row = table->items[static_cast<std::size_t>(++table->high)];
            row.id = id.value_or(0);
            row.group = group.value_or(0);
            lineOfRow.push_back(number);
        }
    }

    mirrorLines.CheckCoverage(report, rowUrls);
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

bool ReadBytes(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// What launchers with a key demand of a signed list beyond its signature: every row pins its archive with
// a SHA-256, and the list has not expired. A list without a serial is taken, but only until a launcher has
// seen one. Returns the number of problems.
int CheckSignedListRules(const std::string& path, const std::string& label) {
    LintReport report(label);
    TStringList lines;
    lines.LoadLines(path);
    for (int i = 0; i < lines.LineCount(); ++i)
        if (IsPatchListRow(lines.LineAt(i)) && RowSha256(SplitPatchRow(lines.LineAt(i))).empty())
            report.Problem(i + 1, "row without a SHA-256: launchers with a patchlist_key do not download it");
    std::string bytes;
    ReadBytes(path, bytes);
    const TListStamps stamps = ReadListStamps(bytes);
    const bool expired = stamps.expires && UnixSecondsNow() >= *stamps.expires;
    if (expired)
        std::printf("%s: the list expired at %s: launchers with a patchlist_key refuse it\n", label.c_str(),
                    FormatUtcTime(*stamps.expires).c_str());
    // Launchers refuse the list the moment it expires; a week leaves time to sign it again.
    constexpr std::int64_t kExpiryWarningDays = 7;
    if (stamps.expires && !expired &&
        *stamps.expires - UnixSecondsNow() < kExpiryWarningDays * kSecondsPerDay)
        std::printf("%s: warning: the list expires at %s, in less than %lld days: sign it again before then "
                    "(patchctl sign, or publish --key), or launchers with a patchlist_key refuse it\n",
                    label.c_str(), FormatUtcTime(*stamps.expires).c_str(),
                    static_cast<long long>(kExpiryWarningDays));
    if (!stamps.serial && stamps.serialProblem.empty())
        std::printf("%s: info: no serial line: launchers that accepted a list with a serial refuse this one, "
                    "and a copy of it can be served again; sign it with patchctl sign\n",
                    label.c_str());
    return report.Problems() + (expired ? 1 : 0);
}

// The statement of trust a new installation with `configKey` reaches through the file `trustFile` (none
// there: the key alone); nothing, with the reason printed, when the walk is refused.
std::optional<TTrustStatement> TrustOfList(const std::string& label, const std::string& trustFile,
                                           const std::string& trustLabel, const std::string& configKey) {
    std::vector<TTrustStatement> statements;
    std::string bytes;
    try {
        if (ReadBytes(trustFile, bytes))
            statements = ParseTrustFile(bytes);
    } catch (const ETrustFormatError& e) {
        std::printf("%s: signature: %s: %s\n", label.c_str(), trustLabel.c_str(), e.Message().c_str());
        return std::nullopt;
    }
    const TTrustVerdict verdict = WalkTrust(ImpliedStatement(configKey), statements, UnixSecondsNow());
    if (verdict.outcome != TTrustOutcome::Accepted) {
        std::printf("%s: signature: %s is refused: %s\n", label.c_str(), trustLabel.c_str(),
                    verdict.reason.c_str());
        return std::nullopt;
    }
    return verdict.current;
}

// Checks the list's detached signatures against the statement of trust that a new installation with the
// key of `config` reaches through `trustFile`. Returns the number of problems.
int CheckSignature(const std::string& listFile, const std::string& label, const std::string& signatureFile,
                   const std::string& signatureLabel, const std::string& trustFile,
                   const std::string& trustLabel, const std::string& config) {
    if (!IsExistingFile(config)) {
        std::printf("%s: signature: %s is missing\n", label.c_str(), config.c_str());
        return 1;
    }
    const ConfigContents contents = ReadConfigContents(config);
    std::string key;
    if (!contents.hasPatchListKey) {
        std::printf("%s: signature: %s has no %s line, so its launchers take any list\n", label.c_str(),
                    config.c_str(), kPatchListKeyName);
        return 1;
    }
    if (!Base64Decode(contents.patchListKey, key) || !IsVerifyingKey(key)) {
        std::printf("%s: signature: the %s of %s is not a P-256 public key\n", label.c_str(),
                    kPatchListKeyName, config.c_str());
        return 1;
    }
    const std::optional<TTrustStatement> trust = TrustOfList(label, trustFile, trustLabel, key);
    if (!trust)
        return 1;
    std::string list, signature;
    if (!ReadBytes(signatureFile, signature)) {
        std::printf("%s: signature: %s is missing\n", label.c_str(), signatureLabel.c_str());
        return 1;
    }
    std::size_t signers = 0;
    try {
        if (ReadBytes(listFile, list))
            signers = CountSigners(*trust, list, ParseListSignatures(signature));
    } catch (const ETrustFormatError& e) {
        std::printf("%s: signature: %s: %s\n", label.c_str(), signatureLabel.c_str(), e.Message().c_str());
        return 1;
    }
    if (trust->version > 1) {
        std::printf("%s: signature: %s: %zu of the %zu signatures needed verified under version %ju of %s\n",
                    label.c_str(), signatureLabel.c_str(), signers, trust->threshold,
                    static_cast<std::uintmax_t>(trust->version), trustLabel.c_str());
        return signers >= trust->threshold ? 0 : 1;
    }
    if (signers == 0) {
        std::printf("%s: signature: %s does not verify under the key of %s\n", label.c_str(),
                    signatureLabel.c_str(), config.c_str());
        return 1;
    }
    std::printf("%s: signature: %s verified with the key of %s\n", label.c_str(), signatureLabel.c_str(),
                config.c_str());
    return 0;
}

} // namespace

int RunLint(const Arguments& args) {
    const std::string& list = args.Positionals()[0];
    const bool fetch = args.Has("--fetch"), sig = args.Has("--sig");
    const std::string config = args.Value("--config").value_or("");

    // A list given by its URL is checked as players get it: downloaded, with its signature beside it.
    std::optional<ScratchDir> scratch;
    if (fetch || IsUrl(list))
        scratch.emplace();
    std::string file = list;
    std::string signatureFile = list + ".sig";
    std::string trustFile = list + ".trust";
    if (IsUrl(list) && !DownloadListForLint(list, sig, scratch->Path(), file, signatureFile, trustFile))
        return 1;

    int rows = 0;
    int problems = LintList(file, list, rows);
    if (sig)
        problems += CheckSignedListRules(file, list);
    if (sig)
        problems +=
            CheckSignature(file, list, signatureFile, IsUrl(list) ? SignatureUrlOf(list) : list + ".sig",
                           trustFile, IsUrl(list) ? TrustUrlOf(list) : list + ".trust", config);
    if (fetch)
        problems += FetchArchives(file, list, scratch->Path());
    if (fetch)
        problems += FetchClient(file, list, scratch->Path());
    std::printf("%s: %s, %s\n", list.c_str(), Counted(rows, "row").c_str(),
                Counted(problems, "problem").c_str());
    return problems == 0 ? 0 : 1;
}

} // namespace pc::patchctl
