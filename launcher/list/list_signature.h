// The patch list's detached signature: fetched next to the list and checked against the key that
// Config.ini carries, before anything of the list is believed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pc {

class UiPort;

// Where the signature of the list at `listUrl` lies: ".sig" appended to the URL's path, before any query
// string or fragment.
std::string SignatureUrlOf(const std::string& listUrl);
// Where its statement of trust lies: ".trust" appended the same way.
std::string TrustUrlOf(const std::string& listUrl);
// The URL of the file `suffix` names beside the list.
std::string FileUrlBeside(const std::string& listUrl, const std::string& suffix);

// The file in the application directory the signature is downloaded to, and removed from right after.
inline constexpr const char* kSignatureFileName = "tmp_PatchList.sig";

// The log lines of a list that a launcher with a key refuses.
inline constexpr const char* kNotSignedLogLine = "- The patch list is not signed by this server";
inline constexpr const char* kOlderListLogLine = "- The patch list is older than the one already applied";
inline constexpr const char* kExpiredListLogLine =
    "- The patch list has expired; the server must publish a new one";
// "- The patch list is signed by 1 of the 2 keys it needs": some of the keys in force signed it, too few.
std::string SignedByLogLine(std::size_t signers, std::size_t needed);
// The log lines of a statement of trust that is refused: the list beside it is refused with it.
inline constexpr const char* kRefusedTrustLogLine =
    "- The statement of trust beside the patch list is refused";
inline constexpr const char* kOlderTrustLogLine =
    "- The statement of trust is older than the one already accepted";
inline constexpr const char* kExpiredTrustLogLine = "- The statement of trust has expired";

// What a launcher with a key makes of a downloaded list.
struct TListAcceptance {
    bool accepted = false;
    std::string logLine; // the refusal's log line
    std::string reason;  // why, in words for the operator
};

// First the statement of trust in force: the one accepted before in `appDir` (none: `keyBase64`, base64 of
// DER SubjectPublicKeyInfo, alone), carried forward through the statements published beside the list at
// `listUrl` (see trust_statement.h); a statement that is refused refuses the list, and one reached is kept.
// Then downloads the signatures of the list into `appDir` (removed right after) and counts the keys in
// force that signed the exact bytes of the downloaded list `listFile`: missing, oversized or too few
// signatures, and a key that cannot be read, refuse the list. Then, over the
// same bytes, its serial and expiry against the highest serial accepted in `appDir` before, at
// `now` (seconds since 1970 UTC). A list that passes both has its serial stored when it is higher than the
// one accepted; nothing is stored for a list whose signature did not verify. Errors reading or saving the
// stored serial are raised as the ledger's are.
// A check that only reads the installation passes `readOnly`: the signature goes to `downloadDir` instead,
// and no serial is stored.
TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now);
TListAcceptance AcceptSignedList(UiPort& ui, const std::string& listUrl, const std::string& listFile,
                                 const std::string& appDir, const std::string& keyBase64, std::int64_t now,
                                 bool readOnly, const std::string& downloadDir);

} // namespace pc
