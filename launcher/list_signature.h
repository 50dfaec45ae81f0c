// The patch list's detached signature: fetched next to the list and checked against the key that
// Config.ini carries, before anything of the list is believed.
#pragma once

#include <string>

namespace pc {

class UiPort;

// Where the signature of the list at `listUrl` lies: ".sig" appended to the URL's path, before any query
// string or fragment.
std::string SignatureUrlOf(const std::string& listUrl);

// The file in the application directory the signature is downloaded to, and removed from right after.
inline constexpr const char* kSignatureFileName = "tmp_PatchList.sig";

// Downloads the signature of the list at `listUrl` into `appDir` and verifies it over the exact bytes of
// the downloaded list `listFile` under `keyBase64` (base64 of DER SubjectPublicKeyInfo). True only when
// the signature was fetched and verifies; a missing, oversized or wrong signature, and a key that cannot
// be read, give false. Errors creating the download's file are raised as the download raises them.
bool IsPatchListSigned(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                       const std::string& appDir, const std::string& keyBase64);

} // namespace pc
