#include "launcher/apply/delta_patch.h"

#include "archive/code_pages.h"
#include "archive/extract_names.h"
#include "framework/crypto.h"

#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>
#include <vector>

namespace pc {
namespace {

constexpr std::string_view kCompanionTag = "//companion ";
constexpr std::string_view kDeltaTag = "delta ";
constexpr std::string_view kRemoveTag = "remove ";
constexpr std::string_view kVersionTag = "//delta-patch ";

bool ParseSize(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Four octal digits of permission bits; setuid, setgid and sticky bits are not carried.
bool ParseMode(std::string_view text, std::uint32_t& mode) {
    if (text.size() != 4 || text[0] != '0')
        return false;
    mode = 0;
    for (char c : text.substr(1)) {
        if (c < '0' || c > '7')
            return false;
        mode = mode * 8 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

bool IsEntryWord(std::string_view word) {
    return !word.empty() && word != "manifest" && word.size() <= 32 &&
           std::all_of(word.begin(), word.end(),
                       [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' ||
                                  c == '-';
                       }) &&
           word != "." && word != "..";
}

// The companion lies beside the patch: a plain file name, no folder.
bool IsCompanionName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20;
    });
}

// Splits off the next blank-separated word.
bool NextWord(std::string_view& rest, std::string_view& word) {
    const auto blank = rest.find(' ');
    if (blank == std::string_view::npos || blank == 0)
        return false;
    word = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return true;
}

std::string FormatSize(std::int64_t value) {
    return std::to_string(value);
}

std::string FormatMode(std::uint32_t mode) {
    std::string text = "0000";
    for (int i = 3; i >= 1; --i, mode >>= 3)
        text[static_cast<std::size_t>(i)] = static_cast<char>('0' + (mode & 7u));
    return text;
}

} // namespace

bool IsRefusedPatchName(const std::string& name) {
    const std::u16string wide = Utf8ToWide(name);
    if (name.empty() || WideToUtf8(wide) != name || IsUnsafeEntryName(wide))
        return true;
    std::string lower = WideToUtf8(WideLowerCase(wide));
    std::replace(lower.begin(), lower.end(), '\\', '/');
    const std::string folder = kDeltaFolder;
    return lower == folder.substr(0, folder.size() - 1) || lower.rfind(folder, 0) == 0;
}

std::string FormatDeltaManifest(const TDeltaManifest& manifest) {
    std::string text = std::string(kDeltaManifestHeader) + "\n";
    if (!manifest.companion.empty())
        text += std::string(kCompanionTag) + manifest.companion + "\n";
    for (const TDeltaRecord& d : manifest.deltas)
        text += std::string(kDeltaTag) + d.entry + " " + FormatSize(d.oldSize) + " " + d.oldSha256 + " " +
                FormatSize(d.newSize) + " " + d.newSha256 + " " + FormatMode(d.mode) + " " + d.name + "\n";
    for (const std::string& name : manifest.removals)
        text += std::string(kRemoveTag) + name + "\n";
    return text;
}

TDeltaManifest ParseDeltaManifest(const std::string& text) {
    TDeltaManifest manifest;
    std::set<std::u16string> names;
    std::set<std::string> entries;
    std::size_t start = 0;
    int number = 0;
    auto refuse = [&](const std::string& why) -> EDeltaError {
        return EDeltaError("The patch's delta manifest is damaged: line " + std::to_string(number) + " " +
                           why);
    };
    auto takeName = [&](std::string_view name) {
        const std::string owned(name);
        if (IsRefusedPatchName(owned))
            throw refuse("names a file outside the installation or in the patch's own folder");
        if (!names.insert(WideLowerCase(Utf8ToWide(owned))).second)
            throw refuse("names a file listed before");
        return owned;
    };
    while (start < text.size()) {
        ++number;
        const auto end = text.find('\n', start);
        const std::string_view line =
            std::string_view(text).substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
            throw refuse("holds a control character");
        if (number == 1) {
            if (line == kDeltaManifestHeader)
                continue;
            if (line.substr(0, kVersionTag.size()) == kVersionTag)
                throw refuse("has a version this launcher does not know");
            throw refuse("is not the manifest's header");
        }
        if (line.substr(0, kCompanionTag.size()) == kCompanionTag) {
            const std::string_view name = line.substr(kCompanionTag.size());
            if (!manifest.companion.empty() || !manifest.deltas.empty() || !manifest.removals.empty() ||
                !IsCompanionName(name))
                throw refuse("is not a companion line that fits");
            manifest.companion = std::string(name);
        } else if (line.substr(0, kDeltaTag.size()) == kDeltaTag) {
            std::string_view rest = line.substr(kDeltaTag.size());
            std::string_view entry, oldSize, oldSha, newSize, newSha, mode;
            TDeltaRecord record;
            if (!NextWord(rest, entry) || !NextWord(rest, oldSize) || !NextWord(rest, oldSha) ||
                !NextWord(rest, newSize) || !NextWord(rest, newSha) || !NextWord(rest, mode) ||
                !IsEntryWord(entry) || !ParseSize(oldSize, record.oldSize) || !IsLowerSha256Text(oldSha) ||
                !ParseSize(newSize, record.newSize) || !IsLowerSha256Text(newSha) ||
                !ParseMode(mode, record.mode))
                throw refuse("is not a delta line that fits");
            if (!entries.insert(std::string(entry)).second)
                throw refuse("names a delta's data listed before");
            record.entry = std::string(entry);
            record.oldSha256 = std::string(oldSha);
            record.newSha256 = std::string(newSha);
            record.name = takeName(rest);
            manifest.deltas.push_back(std::move(record));
        } else if (line.substr(0, kRemoveTag.size()) == kRemoveTag) {
            manifest.removals.push_back(takeName(line.substr(kRemoveTag.size())));
        } else {
            throw refuse("is not a line the manifest has");
        }
    }
    if (number == 0)
        throw EDeltaError("The patch's delta manifest is damaged: it is empty");
    if (!manifest.deltas.empty() && manifest.companion.empty())
        throw EDeltaError("The patch's delta manifest is damaged: it names no companion archive");
    return manifest;
}

struct TDeltaDecoder::State {
    struct DCtxFree {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context;
    const std::uint8_t* old = nullptr;
    std::size_t oldSize = 0;
    std::vector<std::uint8_t> buffer;
};

int WindowLogFor(std::size_t oldSize, std::size_t nextSize) {
    const std::uint64_t reach = std::max<std::uint64_t>(oldSize, nextSize) + 1;
    // libzstd's smallest window, and its largest on 64-bit systems (2 GiB).
    int log = 10;
    while (log < 31 && (std::uint64_t{1} << log) < reach)
        ++log;
    return log;
}

TDeltaDecoder::TDeltaDecoder(const std::uint8_t* old, std::size_t oldSize, std::int64_t newSize,
                             TOutput output)
    : state_(std::make_unique<State>()), output_(std::move(output)) {
    state_->context.reset(ZSTD_createDCtx());
    state_->old = old;
    state_->oldSize = oldSize;
    state_->buffer.resize(ZSTD_DStreamOutSize());
    ZSTD_DCtx* d = state_->context.get();
    // The window covers the old file and no more: a frame that claims a larger one (and the memory for
    // it) is not a delta of these files.
    const int windowLog = WindowLogFor(oldSize, static_cast<std::size_t>(std::max<std::int64_t>(newSize, 0)));
    failed_ = !d || ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, windowLog)) ||
              ZSTD_isError(ZSTD_DCtx_refPrefix(d, old, oldSize));
}

TDeltaDecoder::~TDeltaDecoder() = default;

bool TDeltaDecoder::Feed(const void* data, std::size_t size) {
    if (failed_)
        return false;
    ZSTD_inBuffer in{data, size, 0};
    for (;;) {
        if (finished_) {
            // Bytes after the frame belong to no delta.
            failed_ = in.pos < in.size;
            return !failed_;
        }
        ZSTD_outBuffer out{state_->buffer.data(), state_->buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(state_->context.get(), &out, &in);
        if (ZSTD_isError(result) || (out.pos > 0 && !output_(state_->buffer.data(), out.pos))) {
            failed_ = true;
            return false;
        }
        if (result == 0)
            finished_ = true;
        else if (in.pos == in.size && out.pos < out.size)
            return true; // wants more input
    }
}

} // namespace pc
