// Signing patch lists, shared by `patchctl sign` and `patchctl publish --key`.
#pragma once

#include "framework/exceptions.h"
#include "launcher/list/trust_statement.h"
#include "tools/patchctl/arguments.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {

// The name of the detached signature of the patch list at `list`.
std::string SignatureFileOf(const std::string& list);

// Raised when a list's stamps forbid signing it as it is.
class EListStampError : public Exception {
public:
    using Exception::Exception;
};

// A list made ready for signing, and the stamps it now carries.
struct TStampedList {
    std::string bytes;
    std::uint64_t serial = 0;
    std::optional<std::int64_t> expires; // seconds since 1970 UTC
    std::optional<int> validityDays;     // the span each signing renews the expiry to
};

// The line that keeps the span a list was signed for, so that each later signing renews its expiry:
// "//validity DAYS". Launchers skip it like every line that starts with '/'.
inline constexpr const char* kValidityWord = "//validity";

// The list's bytes with its serial line set to one more than the serial it carries (1 when it has none)
// and its expiry line set to `expiresDays` days after `now`; without days given, to the span of the list's
// validity line after `now`, or else kept as it is. Given days are kept as the validity line. The stamp
// lines go first; any earlier ones are dropped and every other byte stays. EListStampError for a list
// whose stamp or validity lines are malformed or repeated, whose serial cannot grow, or whose kept expiry
// has passed (a list signed so would be refused by every launcher).
TStampedList StampListForSigning(const std::string& bytes, std::optional<int> expiresDays, std::int64_t now);

// The days of the command's --expires option, from 1 to a hundred years; nothing when not given. UsageError
std::optional<int> ExpiresDays(const Arguments& args);

// The PEM private key at `keyPath`, with a warning on stderr when other users can read the file.
std::string ReadSigningKey(const std::string& keyPath);
// The PEM private keys at `keyPaths`, each found able to sign before anything changes. ECryptoError;
// UsageError when two paths hold the same key (its signature would count once).
std::vector<std::string> ReadSigningKeys(const std::vector<std::string>& keyPaths);
// The signature of `bytes` under each PEM private key, named by its key's id.
std::vector<TSignature> SignWithEach(const std::vector<std::string>& keyPems, const std::string& bytes);

// Replaces `list` with the stamped bytes and writes `list`.sig, their signatures under the PEM private keys
// `keyPems` (one key: today's single signature); each file is replaced atomically. ECryptoError,
// EFCreateError, EWriteError.
void WriteSignedList(const std::string& list, const std::vector<std::string>& keyPems,
                     const TStampedList& stamped);

// What sign and publish print once the list is signed: "LIST.sig: signed, serial N[, expires TIME]".
std::string SignedSummary(const std::string& list, const TStampedList& stamped);

} // namespace pc::patchctl
