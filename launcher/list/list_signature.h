// The patch list's detached signature: fetched next to the list and checked against the key that
// Config.ini carries, before anything of the list is believed.
#pragma once

#include <cstdint>
#include <string>

namespace pc {

class UiPort;

// Where the signature of the list at `listUrl` lies: ".sig" appended to the URL's path, before any query
// string or fragment.
std::string SignatureUrlOf(const std::string& listUrl);

// The file in the application directory the signature is downloaded to, and removed from right after.
inline constexpr const char* kSignatureFileName = "tmp_PatchList.sig";

// The log lines of a list that a launcher with a key refuses.
inline constexpr const char* kNotSignedLogLine = "- The patch list is not signed by this server";
inline constexpr const char* kOlderListLogLine = "- The patch list is older than the one already applied";
inline constexpr const char* kExpiredListLogLine = "- The patch list has expired";

// What a launcher with a key makes of a downloaded list.
struct TListAcceptance {
    bool accepted = false;
    std::string logLine; // the refusal's log line
    std::string reason;  // why, in words for the operator
};

// Downloads the signature of the list at `listUrl` into `appDir` (removed right after) and verifies it over
// the exact bytes of the downloaded list `listFile` under `keyBase64` (base64 of DER SubjectPublicKeyInfo):
// a missing, oversized or wrong signature, and a key that cannot be read, refuse the list. Then, over the
// same bytes, its serial and expiry against the highest serial accepted in `appDir` before, at
// `now` (seconds since 1970 UTC). A list that passes both has its serial stored when it is higher than the
// one accepted; nothing is stored for a list whose signature did not verify. Errors reading or saving the
// stored serial are raised as the ledger's are.
TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now);

} // namespace pc
