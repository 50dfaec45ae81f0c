#include "launcher/list/list_signature.h"

#include "framework/crypto.h"
#include "framework/helpers.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/trust_statement.h"
#include "launcher/net/download.h"

#include <fstream>
#include <iterator>

namespace pc {
namespace {

// The file's bytes, or nothing when it cannot be read or exceeds `limit`.
bool ReadSmallFile(const std::string& path, std::streamoff limit, std::string& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const std::streamoff size = in.tellg();
    if (size < 0 || size > limit)
        return false;
    in.seekg(0);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return static_cast<std::streamoff>(bytes.size()) == size;
}

bool ReadWhole(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

std::string FileUrlBeside(const std::string& listUrl, const std::string& suffix) {
    const auto end = listUrl.find_first_of("?#");
    if (end == std::string::npos)
        return listUrl + suffix;
    return listUrl.substr(0, end) + suffix + listUrl.substr(end);
}

std::string SignatureUrlOf(const std::string& listUrl) {
    return FileUrlBeside(listUrl, ".sig");
}

std::string TrustUrlOf(const std::string& listUrl) {
    return FileUrlBeside(listUrl, ".trust");
}

namespace {

// The small file beside the list at `listUrl` whose URL is the list's with `suffix`, into `file` (removed
// right after). False, with the reason, when it cannot be had; `bytes` is then empty.
bool FetchBeside(UiPort& ui, const std::string& listUrl, const std::string& suffix, const std::string& file,
                 std::size_t limit, std::string& bytes, std::string& reason) {
    DownloadOptions options;
    options.maxBytes = static_cast<std::int64_t>(limit); // anything longer is not what it claims to be
    const std::string url = FileUrlBeside(listUrl, suffix);
    const bool fetched =
        Download(ui, url, file, TProgressBar::pbUntouched, options, DefaultDownloadLimits(), &reason);
    const bool read = fetched && ReadSmallFile(file, static_cast<std::streamoff>(limit), bytes);
    RemoveFile(file);
    if (fetched && !read)
        reason = "it is larger than such a file can be";
    return read;
}

// The statement of trust in force for this run: the one accepted before (Config.ini's key when none),
// carried forward through what the place that served the list publishes beside it. A place that
// publishes none brings no news; one whose file cannot be read or walked refuses the list.
TTrustVerdict CurrentTrust(UiPort& ui, const std::string& listUrl, const std::string& downloadDir,
                           const TTrustStatement& accepted, std::int64_t now) {
    std::string bytes, reason;
    std::vector<TTrustStatement> statements;
    if (FetchBeside(ui, listUrl, ".trust", downloadDir + kTrustDownloadFileName, kLargestTrustFile, bytes,
                    reason)) {
        try {
            statements = ParseTrustFile(bytes);
        } catch (const ETrustFormatError& e) {
            return {TTrustOutcome::Refused, accepted, e.Message()};
        }
    }
    return WalkTrust(accepted, statements, now);
}

std::string TrustLogLine(TTrustOutcome outcome) {
    switch (outcome) {
    case TTrustOutcome::Older:
        return kOlderTrustLogLine;
    case TTrustOutcome::Expired:
        return kExpiredTrustLogLine;
    case TTrustOutcome::Accepted:
    case TTrustOutcome::Refused:
        break;
    }
    return kRefusedTrustLogLine;
}

// Fetches the signatures and counts the keys of `trust` that signed the list's bytes, which it leaves in
// `list`. Empty when enough did; otherwise why not, with the number in `signers`.
std::string SignatureProblem(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                             const std::string& downloadDir, const TTrustStatement& trust, std::string& list,
                             std::size_t& signers) {
    std::string bytes, reason;
    if (!FetchBeside(ui, listUrl, ".sig", downloadDir + kSignatureFileName, kLargestSignatureFile, bytes,
                     reason))
        return "its signature " + SignatureUrlOf(listUrl) + " cannot be downloaded (" + reason + ")";
    if (!ReadWhole(listFile, list))
        return "the downloaded list cannot be read back";
    std::vector<TSignature> signatures;
    try {
        signatures = ParseListSignatures(bytes);
    } catch (const ETrustFormatError& e) {
        return e.Message();
    }
    signers = CountSigners(trust, list, signatures);
    if (signers >= trust.threshold)
        return {};
    if (trust.version == 1)
        return "its signature does not verify under the patchlist_key of Config.ini";
    return "its signatures verify under " + std::to_string(signers) + " of the " +
           std::to_string(trust.threshold) + " keys of version " + std::to_string(trust.version) +
           " of the statement of trust it needs";
}

} // namespace

std::string SignedByLogLine(std::size_t signers, std::size_t needed) {
    return "- The patch list is signed by " + std::to_string(signers) + " of the " + std::to_string(needed) +
           " keys it needs";
}

TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now) {
    return AcceptSignedList(ui, listUrl, listFile, appDir, keyBase64, now, false, appDir);
}

TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now,
                                 bool readOnly, const std::string& downloadDir) {
    std::string key;
    if (!Base64Decode(keyBase64, key) || !IsVerifyingKey(key))
        return {false, kNotSignedLogLine, "the patchlist_key of Config.ini is not a P-256 public key"};
    const std::optional<TTrustStatement> accepted = ReadAcceptedStatement(appDir);
    const TTrustVerdict trust =
        CurrentTrust(ui, listUrl, downloadDir, accepted.value_or(ImpliedStatement(key)), now);
    if (trust.outcome != TTrustOutcome::Accepted)
        return {false, TrustLogLine(trust.outcome), trust.reason};
    // Kept whatever the list turns out to be: its keys' thresholds vouch for it on their own.
    if (!readOnly && trust.current.version > (accepted ? accepted->version : 1))
        StoreAcceptedStatement(appDir, trust.current);

    std::string list;
    std::size_t signers = 0;
    const std::string problem =
        SignatureProblem(ui, listUrl, listFile, downloadDir, trust.current, list, signers);
    if (!problem.empty())
        return {false,
                signers == 0 ? std::string(kNotSignedLogLine)
                             : SignedByLogLine(signers, trust.current.threshold),
                problem};
    // Only now are the list's stamps its operator's; judged over the bytes that verified.
    const TListStamps stamps = ReadListStamps(list);
    const std::optional<std::uint64_t> acceptedSerial = ReadAcceptedSerial(appDir);
    const TFreshnessVerdict verdict = JudgeFreshness(stamps, acceptedSerial, now);
    switch (verdict.freshness) {
    case TFreshness::Older:
        return {false, kOlderListLogLine, verdict.reason};
    case TFreshness::Expired:
        return {false, kExpiredListLogLine, verdict.reason};
    case TFreshness::Fresh:
        break;
    }
    if (!readOnly && stamps.serial && (!acceptedSerial || *stamps.serial > *acceptedSerial))
        StoreAcceptedSerial(appDir, *stamps.serial);
    return {true, {}, {}};
}

} // namespace pc
