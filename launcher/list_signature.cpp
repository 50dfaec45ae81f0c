#include "launcher/list_signature.h"

#include "framework/crypto.h"
#include "framework/helpers.h"
#include "launcher/download.h"

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

bool IsPatchListSigned(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                       const std::string& appDir, const std::string& keyBase64) {
    std::string key;
    if (!Base64Decode(keyBase64, key) || !IsVerifyingKey(key))
        return false;
    const std::string signatureFile = appDir + kSignatureFileName;
    std::string reason;
    DownloadOptions options;
    options.maxBytes = kLargestSignature; // anything longer is no signature and need not be stored
    const bool fetched = Download(ui, SignatureUrlOf(listUrl), signatureFile, false, options,
                                  DefaultDownloadLimits(), &reason);
    std::string signature;
    const bool read = fetched && ReadSmallFile(signatureFile, kLargestSignature, signature);
    RemoveFile(signatureFile);
    std::string list;
    return read && ReadWhole(listFile, list) && VerifySignature(key, list, signature);
}

} // namespace pc
