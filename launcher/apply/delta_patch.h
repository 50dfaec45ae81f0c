// What a patch carries besides whole files: binary deltas of files the installation already has, and the
// files it removes. Both are listed in a small manifest under a reserved folder of the patch archive; the
// deltas' data lie beside it. The deltas are libzstd frames made with the old file as the raw dictionary.
#pragma once

#include "framework/exceptions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pc {

// The reserved folder of a patch archive and the manifest in it. Nothing under this folder is ever
// written into the installation.
inline constexpr const char* kDeltaFolder = "tqm_delta/";
inline constexpr const char* kDeltaManifestEntry = "tqm_delta/manifest";
inline constexpr const char* kDeltaManifestHeader = "//delta-patch 1";

// A manifest that cannot be read, or a delta that cannot be made or decoded.
class EDeltaError : public Exception {
public:
    using Exception::Exception;
};

// One file carried as a delta: turns the installed file of `oldSize` bytes and SHA-256 `oldSha256` into
// the one of `newSize` bytes and `newSha256`, with the permission bits `mode`.
struct TDeltaRecord {
    std::string entry; // the data's name inside the reserved folder
    std::int64_t oldSize = 0;
    std::string oldSha256;
    std::int64_t newSize = 0;
    std::string newSha256;
    std::uint32_t mode = 0644;
    std::string name; // relative to the installation, '/' between folders
};

struct TDeltaManifest {
    // The archive beside the patch that holds the whole new content of every file carried as a delta,
    // named relative to the patch's own URL; empty when the patch carries no delta.
    std::string companion;
    std::vector<TDeltaRecord> deltas;
    std::vector<std::string> removals; // relative to the installation, '/' between folders
};

// The manifest as text: the header, the companion line, then one line per delta and per removal:
//   //companion NAME
//   delta ENTRY OLDSIZE OLDSHA256 NEWSIZE NEWSHA256 MODE NAME
//   remove NAME
// NAME is the rest of the line and may hold blanks.
std::string FormatDeltaManifest(const TDeltaManifest& manifest);
// EDeltaError naming the line that does not fit: an unknown version, a missing header, malformed fields,
// a name that could leave the installation or lie in the reserved folder, a name listed twice, deltas
// without a companion.
TDeltaManifest ParseDeltaManifest(const std::string& text);

// Whether `name` could leave the installation or lies in the reserved folder (either separator, any case).
bool IsRefusedPatchName(const std::string& name);

// Files larger than this lie beyond one frame's window: they are coded in parts.
inline constexpr std::int64_t kMaxDeltaFileBytes = std::int64_t{2} << 30;

// The smallest window (as libzstd's log2) that reaches from the end of the new file back to the start of
// the old one: what a delta is made with and the most its decoder accepts.
int WindowLogFor(std::size_t oldSize, std::size_t nextSize);

// Decodes a delta fed in pieces against the old file's bytes, which must stay valid meanwhile.
class TDeltaDecoder {
public:
    using TOutput = std::function<bool(const std::uint8_t* data, std::size_t size)>;

    // `newSize` is the size the result is to have; a frame whose window reaches further is refused.
    TDeltaDecoder(const std::uint8_t* old, std::size_t oldSize, std::int64_t newSize, TOutput output);
    TDeltaDecoder(const TDeltaDecoder&) = delete;
    TDeltaDecoder& operator=(const TDeltaDecoder&) = delete;
    ~TDeltaDecoder();

    // False when the bytes are not a valid delta for this old file, or the output refused its bytes;
    // every later call is then false too.
    bool Feed(const void* data, std::size_t size);
    // Whether a whole frame was decoded and nothing came after it.
    bool Finished() const { return finished_ && !failed_; }
    bool Failed() const { return failed_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    TOutput output_;
    bool finished_ = false;
    bool failed_ = false;
};

} // namespace pc
