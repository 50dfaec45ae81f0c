// The client manifest: what a whole, intact installation holds, published beside a ZIP archive of the
// same files so that a damaged installation can be checked and healed file by file. UTF-8 text with LF
// line ends, every line ended by its LF:
//
//     //client-manifest 1
//     //archive client.zip 3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b
//     e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 0 0644 Data/empty.dat
//     9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 4 0755 game bin/run.sh
//
// The header names the archive (its file name beside the manifest) and its SHA-256. Then one line per
// file, sorted by name in byte order: SHA-256 (64 lower-case hexadecimal digits), size (decimal bytes),
// mode (four octal digits) and the name relative to the installation with '/' between folders. The name
// is the rest of the line and may hold blanks.
//
// The patch list names the manifest with one line that every reader of rows skips and a signature covers:
//
//     //client https://example.net/client/client.manifest <the manifest's SHA-256> 42
//
// The last field is the id of the list's last patch that the snapshot holds: an installation that lacks an
// earlier patch must update before it is checked, one that holds a later patch is newer than the snapshot
// and is never "repaired" back to it. Lines written before the field existed end with the SHA-256.
#pragma once

#include "framework/exceptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

inline constexpr const char* kClientManifestFileName = "client.manifest";
inline constexpr const char* kClientArchiveFileName = "client.zip";

// The largest manifest that is read at all: far more than hundreds of thousands of files need, and a bound
// on what a hostile server can make the launcher hold.
inline constexpr std::int64_t kClientManifestMaxBytes = 256LL << 20;

struct TClientFile {
    std::string sha256;     // 64 lower-case hexadecimal digits
    std::int64_t size = 0;  // bytes
    std::uint32_t mode = 0; // permission bits, at most 07777
    std::string name;       // relative to the installation, '/' between folders
};

struct TClientManifest {
    std::string archiveName;        // beside the manifest, e.g. "client.zip"
    std::string archiveSha256;      // 64 lower-case hexadecimal digits
    std::vector<TClientFile> files; // sorted by name in byte order, no name twice
};

// A manifest that cannot be read; the message names the line.
class EClientManifestError : public Exception {
public:
    using Exception::Exception;
};

// Reads a manifest from its exact bytes. Refuses anything but the form above: a missing header, another
// version, malformed fields, unsafe or unsorted names, a name twice, a name that is both a file and a
// folder, a last line without its line end. Memory grows with the text given, never with what it claims.
// EClientManifestError
TClientManifest ParseClientManifest(std::string_view text);

// Why `name` cannot stand in a manifest (empty, absolute, a drive, '\', an empty, "." or ".." part, a
// control character, not UTF-8), as a sentence part such as "the name holds a \"..\" part"; empty when
// it can.
std::string ClientFileNameProblem(std::string_view name);
// Whether `name` can be the archive's file name beside the manifest: letters, digits, '.', '_', '-' and
// '+', not starting with '.'.
bool IsClientArchiveName(std::string_view name);

// The manifest's text, in the order and form that ParseClientManifest reads. The header and the file
// lines separately, for writers that stream the files.
std::string ClientManifestHeader(const std::string& archiveName, const std::string& archiveSha256);
std::string ClientManifestLine(const TClientFile& file);
std::string FormatClientManifest(const TClientManifest& manifest);

// The patch list's line that names the manifest.
struct TClientLine {
    std::string url;    // the manifest's
    std::string sha256; // the manifest's, 64 lower-case hexadecimal digits
    // The id of the last patch the snapshot holds; none for a line written before the field existed, which
    // is taken to hold every row of its list.
    std::optional<std::int32_t> patch;
};

// Whether the line's first word (up to a blank, a TAB or the end) is "//client", well formed or not.
bool IsClientLineWord(std::string_view line);
// The line's values when it is exactly "//client", one blank, a URL without blanks or control characters,
// one blank, the SHA-256 in lower case and, after one more blank, the last patch's id; nothing otherwise.
std::optional<TClientLine> ParseClientLine(std::string_view line);
// The line (without a line end).
std::string ClientLineText(const TClientLine& line);

// What a list says about its client manifest: the line when exactly one well-formed line is there;
// otherwise `problem` tells why there is none (empty when the list names no manifest at all).
struct TClientReference {
    std::optional<TClientLine> line;
    std::string problem;
};
// Reads the list's bytes as the launcher reads its lines (CR LF, lone CR, lone LF; the first NUL ends the
// text).
TClientReference ReadClientReference(std::string_view listBytes);

// The files that earlier releases had and the snapshot's release lacks, published beside its manifest so
// that an installation healed to the snapshot from an older release leaves none of them behind. UTF-8 text
// with LF line ends, every line ended by its LF:
//
//     //client-removed 1
//     2 4 Data/old pack.dat
//
// One line per stretch of releases that had the name: the first and the last release of it, then the name
// as a manifest gives it. The patch list names the file as it names the manifest, on a line that launchers
// without it skip and a signature covers:
//
//     //client-removed https://example.net/7/client.removed <the file's SHA-256>
inline constexpr const char* kRemovedFilesFileName = "client.removed";

struct TRemovedFile {
    std::int32_t from = 0, to = 0; // the releases from..to had the name
    std::string name;
};

// Reads the file from its exact bytes: its header, then lines of two release numbers (1 <= first <= last)
// and a name that a manifest could hold. EClientManifestError naming the line.
std::vector<TRemovedFile> ParseRemovedFiles(std::string_view text);
std::string FormatRemovedFiles(const std::vector<TRemovedFile>& files);

// The list's line that names the removed files: `url` and `sha256` when exactly one line of the form
// "//client-removed URL SHA256" is there; nothing when there is none. A line that is there but cannot be
// read, or two of them, is `problem`.
struct TRemovedReference {
    std::optional<TClientLine> line; // without a patch id
    std::string problem;
};
bool IsRemovedLineWord(std::string_view line);
TRemovedReference ReadRemovedReference(std::string_view listBytes);
std::string RemovedLineText(const std::string& url, const std::string& sha256);

// The archive's URL: the manifest URL's folder (without its query or fragment) and the archive's name.
std::string ClientArchiveUrl(std::string_view manifestUrl, std::string_view archiveName);

} // namespace pc
