// The statement of trust: which keys may sign this server's patch lists and how many of them must, so that
// an operator can add, replace and revoke keys without shipping players a new Config.ini.
//
// Version 1 is implied by Config.ini: its patchlist_key alone, threshold 1. Every later version is published
// beside the list (the list's URL plus ".trust"), all versions in order, each signed by at least the
// threshold of the previous version's keys and of its own. The file is text with LF line ends:
//
//     version 2
//     expires 2027-12-31T00:00:00Z
//     threshold 1
//     key <base64 of a P-256 public key as DER SubjectPublicKeyInfo>
//     key ...
//     signature <the signing key's id: 64 hex digits> <base64 of the DER ECDSA signature>
//     signature ...
//
// with one empty line between two statements. A signature covers kStatementHeading and the statement's
// lines from "version" to its last "key" line, each ended by LF. A key's id is the SHA-256 of its DER.
//
// A list's ".sig" is either one DER signature (today's form, by whichever key) or "signature" lines as above.
#pragma once

#include "framework/exceptions.h"
#include "launcher/install/own_files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

// Where the served statements are downloaded to, and removed from right after.
inline constexpr const char* kTrustDownloadFileName = "tmp_PatchList.trust";
// What a statement's signatures cover first, so that no signature of a list can pass for one of a
// statement.
inline constexpr std::string_view kStatementHeading = "patch-client statement of trust\n";

// Bounds that keep a hostile file from costing more than a look: keys per statement, bytes of a file.
inline constexpr std::size_t kMostKeysPerStatement = 64;
inline constexpr std::size_t kLargestTrustFile = 4 << 20;
inline constexpr std::size_t kLargestSignatureFile = 64 << 10;

struct TSignature {
    std::string keyId; // lower-case hex SHA-256 of the signing key's DER; empty when the form names none
    std::string bytes; // DER ECDSA signature
};

struct TTrustStatement {
    std::uint64_t version = 1;
    std::optional<std::int64_t> expires; // seconds since 1970 UTC; version 1 never expires
    std::size_t threshold = 1;
    std::vector<std::string> keys; // DER SubjectPublicKeyInfo, distinct
    std::vector<TSignature> signatures;
};

// A statement file or a signature file that is not of its form; the message names the line.
class ETrustFormatError : public Exception {
public:
    using Exception::Exception;
};

std::string KeyIdOf(const std::string& keyDer);
TTrustStatement ImpliedStatement(const std::string& configKeyDer);

// The statements of a file, in order: each version one above the one before it, from 2 on. ETrustFormatError
std::vector<TTrustStatement> ParseTrustFile(std::string_view bytes);
// The file of these statements; ParseTrustFile gives them back.
std::string FormatTrustFile(const std::vector<TTrustStatement>& statements);
// The bytes that a statement's signatures cover.
std::string StatementMessage(const TTrustStatement& statement);

// The signatures of a list's ".sig". ETrustFormatError for lines that are not signature lines.
std::vector<TSignature> ParseListSignatures(std::string_view bytes);
// A ".sig" of these signatures: one alone as today's DER, so that launchers before statements read it.
std::string FormatListSignatures(const std::vector<TSignature>& signatures);
// How many distinct keys of `statement` have a signature among `signatures` that verifies over `message`.
std::size_t CountSigners(const TTrustStatement& statement, const std::string& message,
                         const std::vector<TSignature>& signatures);

enum class TTrustOutcome {
    Accepted, // the walk ended on a statement in force
    Refused,  // a version is missing or signed below a threshold
    Older,    // the file ends below the version accepted before
    Expired,  // the statement the walk ends on has expired
};

struct TTrustVerdict {
    TTrustOutcome outcome = TTrustOutcome::Accepted;
    TTrustStatement current; // the statement in force when accepted; the one started from otherwise
    std::string reason;      // for the operator, when not accepted
};

// Walks from `current` (the statement accepted before) through the served `statements` (as the file gives
// them): each version above the current one must follow it by one and be signed by at least the threshold
// of the current statement's keys and of its own; then the statement reached must not have expired at
// `now`. Versions at or below the current one are passed over; a file that ends below it is older. All or
// nothing: one fault refuses the walk.
TTrustVerdict WalkTrust(const TTrustStatement& current, const std::vector<TTrustStatement>& statements,
                        std::int64_t now);

// The statement accepted last in the installation `appDir` (ending with its separator); nothing when none
// was (or the file holds no statement: it is only ever written whole). EFOpenError when it cannot be read.
std::optional<TTrustStatement> ReadAcceptedStatement(const std::string& appDir);
// Replaces it atomically, as the ledger is saved. EFCreateError, EWriteError.
void StoreAcceptedStatement(const std::string& appDir, const TTrustStatement& statement);

} // namespace pc
