#include "launcher/list/client_manifest.h"

#include "framework/code_pages.h"
#include "framework/crypto.h"
#include "framework/helpers.h"
#include "framework/line_list.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <unordered_map>

namespace pc {
namespace {

constexpr std::string_view kHeader = "//client-manifest 1";
constexpr std::string_view kHeaderWord = "//client-manifest";
constexpr std::string_view kArchiveWord = "//archive";
constexpr std::string_view kClientWord = "//client";
constexpr std::string_view kRemovedHeader = "//client-removed 1";
constexpr std::string_view kRemovedWord = "//client-removed";

std::optional<std::int64_t> ParseSize(std::string_view text) {
    const std::optional<std::uint64_t> value = ParseCanonicalDecimal(text, 19);
    if (!value || *value > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return static_cast<std::int64_t>(*value);
}

std::optional<std::uint32_t> ParseMode(std::string_view text) {
    if (text.size() != 4)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '7')
            return std::nullopt;
        value = value * 8 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

std::string_view FirstWord(std::string_view line) {
    return line.substr(0, line.find_first_of(" \t"));
}

[[noreturn]] void Refuse(std::size_t lineNumber, const std::string& what) {
    throw EClientManifestError("client manifest line " + std::to_string(lineNumber) + ": " + what);
}

[[noreturn]] void RefuseRemoved(std::size_t lineNumber, const std::string& what) {
    throw EClientManifestError("list of removed files line " + std::to_string(lineNumber) + ": " + what);
}

// Takes the text before the next blank and the blank itself; false when there is no blank.
bool TakeField(std::string_view& rest, std::string_view& field) {
    const auto blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return false;
    field = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return true;
}

// The client line's last patch id: a row id in decimal, as a list's rows give it.
std::optional<std::int32_t> ParseSnapshotPatch(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::string ClientFileNameProblem(std::string_view name) {
    if (name.empty())
        return "the name is empty";
    for (const char c : name)
        if (IsControl(static_cast<unsigned char>(c)))
            return "the name holds a control character";
    if (!IsValidUtf8(name))
        return "the name is not valid UTF-8";
    if (name.find('\\') != std::string_view::npos)
        return "the name holds a backslash";
    if (name.front() == '/')
        return "the name is absolute";
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return "the name starts with a drive";
    // Past the drive a colon names an alternate data stream of a file on Windows.
    if (name.find(':') != std::string_view::npos)
        return "the name holds a colon";
    std::size_t start = 0;
    while (true) {
        const auto slash = name.find('/', start);
        const std::string_view part =
            name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty())
            return "the name holds an empty part";
        if (part == ".")
            return "the name holds a \".\" part";
        if (part == "..")
            return "the name holds a \"..\" part";
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return {};
}

bool IsClientArchiveName(std::string_view name) {
    if (name.empty() || name.front() == '.')
        return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-' || c == '+'))
            return false;
    return true;
}

TClientManifest ParseClientManifest(std::string_view text) {
    TClientManifest manifest;
    // Where each name was met, to tell a name given twice or a file that is also a folder by its line.
    std::unordered_map<std::string_view, std::size_t> lineOfName;
    std::size_t lineNumber = 0;
    std::size_t position = 0;
    while (position < text.size() || lineNumber < 2) {
        ++lineNumber;
        const auto end = text.find('\n', position);
        if (end == std::string_view::npos) {
            if (position >= text.size())
                Refuse(lineNumber,
                       lineNumber == 1 ? "the manifest is empty" : "the manifest ends after its first line");
            Refuse(lineNumber, "the line has no line end (the manifest is cut short)");
        }
        const std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (!line.empty() && line.back() == '\r')
            Refuse(lineNumber, "the line ends with CR LF; a client manifest has LF line ends");

        if (lineNumber == 1) {
            if (line == kHeader)
                continue;
            if (FirstWord(line) == kHeaderWord)
                Refuse(lineNumber, "the manifest is not of version 1, the one this program reads");
            Refuse(lineNumber, "not a client manifest (its first line must be \"//client-manifest 1\")");
        }
        if (lineNumber == 2) {
            std::string_view rest = line, word, name;
            if (!TakeField(rest, word) || word != kArchiveWord || !TakeField(rest, name))
                Refuse(lineNumber, "expected \"//archive NAME SHA256\"");
            if (!IsClientArchiveName(name))
                Refuse(lineNumber, "the archive's name is not a plain file name (letters, digits, '.', '_', "
                                   "'-', '+')");
            if (!IsLowerSha256Text(rest))
                Refuse(lineNumber, "the archive's SHA-256 is not 64 lower-case hexadecimal digits");
            manifest.archiveName = std::string(name);
            manifest.archiveSha256 = std::string(rest);
            continue;
        }

        if (line.empty())
            Refuse(lineNumber, "the line is empty");
        std::string_view rest = line, sha, size, mode;
        if (!TakeField(rest, sha) || !TakeField(rest, size) || !TakeField(rest, mode))
            Refuse(lineNumber, "expected \"SHA256 SIZE MODE NAME\"");
        if (!IsLowerSha256Text(sha))
            Refuse(lineNumber, "the SHA-256 is not 64 lower-case hexadecimal digits");
        const auto sizeValue = ParseSize(size);
        if (!sizeValue)
            Refuse(lineNumber, "the size is not a decimal number of bytes");
        const auto modeValue = ParseMode(mode);
        if (!modeValue)
            Refuse(lineNumber, "the mode is not four octal digits");
        const std::string_view name = rest;
        if (const std::string problem = ClientFileNameProblem(name); !problem.empty())
            Refuse(lineNumber, problem);
        if (!manifest.files.empty()) {
            const std::string& previous = manifest.files.back().name;
            if (name == previous)
                Refuse(lineNumber, "the name was given before, on line " + std::to_string(lineNumber - 1));
            if (name < std::string_view(previous))
                Refuse(lineNumber, "the name is out of order (names are sorted by their bytes)");
        }
        // Every folder above this name must not be a file of its own; a later name beneath this one is
        // found the same way when it comes, since its folders include this name.
        for (auto slash = name.find('/'); slash != std::string_view::npos;
             slash = name.find('/', slash + 1)) {
            const auto found = lineOfName.find(name.substr(0, slash));
            if (found != lineOfName.end())
                Refuse(lineNumber, "the name lies in a folder that line " + std::to_string(found->second) +
                                       " names as a file");
        }
        lineOfName.emplace(name, lineNumber);
        manifest.files.push_back(TClientFile{std::string(sha), *sizeValue, *modeValue, std::string(name)});
    }
    return manifest;
}

std::string ClientManifestHeader(const std::string& archiveName, const std::string& archiveSha256) {
    return std::string(kHeader) + "\n" + std::string(kArchiveWord) + " " + archiveName + " " + archiveSha256 +
           "\n";
}

std::string ClientManifestLine(const TClientFile& file) {
    char mode[8];
    mode[0] = static_cast<char>('0' + ((file.mode >> 9) & 7));
    mode[1] = static_cast<char>('0' + ((file.mode >> 6) & 7));
    mode[2] = static_cast<char>('0' + ((file.mode >> 3) & 7));
    mode[3] = static_cast<char>('0' + (file.mode & 7));
    return file.sha256 + " " + std::to_string(file.size) + " " + std::string(mode, 4) + " " + file.name +
           "\n";
}

std::string FormatClientManifest(const TClientManifest& manifest) {
    std::string text = ClientManifestHeader(manifest.archiveName, manifest.archiveSha256);
    for (const TClientFile& file : manifest.files)
        text += ClientManifestLine(file);
    return text;
}

bool IsClientLineWord(std::string_view line) {
    return FirstWord(line) == kClientWord;
}

std::optional<TClientLine> ParseClientLine(std::string_view line) {
    std::string_view rest = line, word, url;
    if (!TakeField(rest, word) || word != kClientWord || !TakeField(rest, url) || url.empty())
        return std::nullopt;
    for (const char c : url)
        if (IsControl(static_cast<unsigned char>(c)))
            return std::nullopt;
    std::string_view sha = rest;
    std::optional<std::int32_t> patch;
    if (TakeField(rest, sha)) {
        patch = ParseSnapshotPatch(rest);
        if (!patch)
            return std::nullopt;
    }
    if (!IsLowerSha256Text(sha))
        return std::nullopt;
    return TClientLine{std::string(url), std::string(sha), patch};
}

std::string ClientLineText(const TClientLine& line) {
    std::string text = std::string(kClientWord) + " " + line.url + " " + line.sha256;
    if (line.patch)
        text += " " + std::to_string(*line.patch);
    return text;
}

TClientReference ReadClientReference(std::string_view listBytes) {
    TClientReference reference;
    int lines = 0;
    bool malformed = false;
    TStringList::VisitLines(listBytes, [&](std::string_view line) {
        if (!IsClientLineWord(line))
            return;
        ++lines;
        reference.line = ParseClientLine(line);
        malformed = malformed || !reference.line;
    });
    if (malformed)
        reference.problem =
            "its client line is not of the form '//client URL SHA256 PATCH' (the SHA-256 in 64 "
            "lower-case hexadecimal digits, PATCH the id of the last patch the snapshot holds)";
    else if (lines > 1)
        reference.problem = "it has more than one client line";
    if (!reference.problem.empty())
        reference.line.reset();
    return reference;
}

std::string ClientArchiveUrl(std::string_view manifestUrl, std::string_view archiveName) {
    std::string_view url = manifestUrl.substr(0, manifestUrl.find_first_of("?#"));
    // The folder ends at the last '/' of the path, not at the one of "scheme://".
    const auto scheme = url.find("://");
    const std::size_t pathFrom = scheme == std::string_view::npos ? 0 : scheme + 3;
    const auto lastSlash = url.rfind('/');
    if (scheme == std::string_view::npos && lastSlash == std::string_view::npos)
        return std::string(archiveName); // a relative URL without a folder
    if (lastSlash == std::string_view::npos || lastSlash < pathFrom)
        return std::string(url) + "/" + std::string(archiveName);
    return std::string(url.substr(0, lastSlash + 1)) + std::string(archiveName);
}

std::vector<TRemovedFile> ParseRemovedFiles(std::string_view text) {
    std::vector<TRemovedFile> files;
    std::size_t lineNumber = 0;
    for (std::size_t position = 0; position < text.size() || lineNumber == 0;) {
        ++lineNumber;
        const auto end = text.find('\n', position);
        if (end == std::string_view::npos)
            RefuseRemoved(lineNumber, "the line has no line end (the list is cut short)");
        const std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (lineNumber == 1) {
            if (line != kRemovedHeader)
                RefuseRemoved(lineNumber, "not such a list (its first line must be \"" +
                                              std::string(kRemovedHeader) + "\")");
            continue;
        }
        std::string_view rest = line, from, to;
        // Release numbers as a list's tags give them: decimal, no sign, no leading zero.
        const auto first =
            TakeField(rest, from) && TakeField(rest, to) ? ParseCanonicalDecimal(from, 9) : std::nullopt;
        const auto last = first ? ParseCanonicalDecimal(to, 9) : std::nullopt;
        if (!first || !last || *first < 1 || *last < *first)
            RefuseRemoved(
                lineNumber,
                "expected \"FIRST LAST NAME\" (the releases that had the name, 1 <= FIRST <= LAST)");
        if (const std::string problem = ClientFileNameProblem(rest); !problem.empty())
            RefuseRemoved(lineNumber, problem);
        files.push_back(
            {static_cast<std::int32_t>(*first), static_cast<std::int32_t>(*last), std::string(rest)});
    }
    return files;
}

std::string FormatRemovedFiles(const std::vector<TRemovedFile>& files) {
    std::string text = std::string(kRemovedHeader) + "\n";
    for (const TRemovedFile& file : files)
        text += std::to_string(file.from) + " " + std::to_string(file.to) + " " + file.name + "\n";
    return text;
}

bool IsRemovedLineWord(std::string_view line) {
    return FirstWord(line) == kRemovedWord;
}

TRemovedReference ReadRemovedReference(std::string_view listBytes) {
    TRemovedReference reference;
    int lines = 0;
    TStringList::VisitLines(listBytes, [&](std::string_view line) {
        if (!IsRemovedLineWord(line))
            return;
        ++lines;
        std::string_view rest = line, word, url;
        if (!TakeField(rest, word) || !TakeField(rest, url) || url.empty() || !IsLowerSha256Text(rest) ||
            std::any_of(url.begin(), url.end(),
                        [](char c) { return IsControl(static_cast<unsigned char>(c)); }))
            reference.problem = "its line of removed files is not of the form '//client-removed URL SHA256'";
        else
            reference.line = TClientLine{std::string(url), std::string(rest), std::nullopt};
    });
    if (reference.problem.empty() && lines > 1)
        reference.problem = "it has more than one line of removed files";
    if (!reference.problem.empty())
        reference.line.reset();
    return reference;
}

std::string RemovedLineText(const std::string& url, const std::string& sha256) {
    return std::string(kRemovedWord) + " " + url + " " + sha256;
}

} // namespace pc
