#include "launcher/list/list_signature.h"

#include "framework/crypto.h"
#include "framework/helpers.h"
#include "launcher/list/list_freshness.h"
#include "launcher/net/download.h"

#include <fstream>
#include <iterator>

namespace pc {
namespace {

// A DER ECDSA P-256 signature takes at most 72 bytes; anything much larger is not one, and is not read.
constexpr std::streamoff kLargestSignature = 1024;

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

std::string SignatureUrlOf(const std::string& listUrl) {
    const auto end = listUrl.find_first_of("?#");
    if (end == std::string::npos)
        return listUrl + ".sig";
    return listUrl.substr(0, end) + ".sig" + listUrl.substr(end);
}

namespace {

// Fetches the signature and verifies it over the list's bytes, which it leaves in `list`. Empty when the
// list is signed; otherwise why not.
std::string SignatureProblem(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                             const std::string& appDir, const std::string& keyBase64, std::string& list) {
    std::string key;
    if (!Base64Decode(keyBase64, key) || !IsVerifyingKey(key))
        return "the patchlist_key of Config.ini is not a P-256 public key";
    const std::string signatureFile = appDir + kSignatureFileName;
    std::string reason;
    DownloadOptions options;
    options.maxBytes = kLargestSignature; // anything longer is no signature and need not be stored
    const bool fetched = Download(ui, SignatureUrlOf(listUrl), signatureFile, false, options,
                                  DefaultDownloadLimits(), &reason);
    std::string signature;
    const bool read = fetched && ReadSmallFile(signatureFile, kLargestSignature, signature);
    RemoveFile(signatureFile);
    if (!fetched)
        return "its signature " + SignatureUrlOf(listUrl) + " cannot be downloaded (" + reason + ")";
    if (!read)
        return "its signature " + SignatureUrlOf(listUrl) + " is larger than a signature can be";
    if (!ReadWhole(listFile, list))
        return "the downloaded list cannot be read back";
    if (!VerifySignature(key, list, signature))
        return "its signature does not verify under the patchlist_key of Config.ini";
    return {};
}

} // namespace

TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now) {
    std::string list;
    const std::string problem = SignatureProblem(ui, listUrl, listFile, appDir, keyBase64, list);
    if (!problem.empty())
        return {false, kNotSignedLogLine, problem};
    // Only now are the list's stamps its operator's; judged over the bytes that verified.
    const TListStamps stamps = ReadListStamps(list);
    const std::optional<std::uint64_t> accepted = ReadAcceptedSerial(appDir);
    const TFreshnessVerdict verdict = JudgeFreshness(stamps, accepted, now);
    switch (verdict.freshness) {
    case TFreshness::Older:
        return {false, kOlderListLogLine, verdict.reason};
    case TFreshness::Expired:
        return {false, kExpiredListLogLine, verdict.reason};
    case TFreshness::Fresh:
        break;
    }
    if (stamps.serial && (!accepted || *stamps.serial > *accepted))
        StoreAcceptedSerial(appDir, *stamps.serial);
    return {true, {}, {}};
}

} // namespace pc
