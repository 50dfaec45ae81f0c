#include "launcher/list/trust_statement.h"

#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/helpers.h"
#include "launcher/list/list_freshness.h"

#include <algorithm>
#include <set>

namespace pc {
namespace {

constexpr std::string_view kVersionWord = "version";
constexpr std::string_view kExpiresWord = "expires";
constexpr std::string_view kThresholdWord = "threshold";
constexpr std::string_view kKeyWord = "key";
constexpr std::string_view kSignatureWord = "signature";
// A DER ECDSA P-256 signature takes at most 72 bytes.
constexpr std::size_t kLargestSignature = 128;

bool IsKeyId(std::string_view text) {
    return IsLowerSha256Text(text);
}

// Reads a file of LF lines one at a time; every refusal names the line.
class TLineReader {
public:
    TLineReader(std::string_view bytes, std::string_view what) : bytes_(bytes), what_(what) {
        if (bytes.find('\r') != std::string_view::npos)
            throw ETrustFormatError(std::string(what) + " has CR characters; its lines end with LF alone");
        if (!bytes.empty() && bytes.back() != '\n')
            throw ETrustFormatError(std::string(what) + " does not end with a line end");
    }
    bool AtEnd() const { return at_ >= bytes_.size(); }
    // The next line without its LF.
    std::string_view Peek() const {
        return AtEnd() ? std::string_view() : bytes_.substr(at_, bytes_.find('\n', at_) - at_);
    }
    std::string_view Take() {
        const std::string_view line = Peek();
        at_ += line.size() + 1;
        ++number_;
        return line;
    }
    // The value of the next line when it is `word`, one blank and a value; refused otherwise.
    std::string_view TakeValue(std::string_view word) {
        if (!StartsWith(Peek(), word))
            Fail("'" + std::string(word) + " ...' is expected");
        return Take().substr(word.size() + 1);
    }
    bool StartsWith(std::string_view line, std::string_view word) const {
        return line.size() > word.size() + 1 && line.substr(0, word.size()) == word &&
               line[word.size()] == ' ';
    }
    [[noreturn]] void Fail(const std::string& why) const {
        throw ETrustFormatError(std::string(what_) + " line " + std::to_string(number_ + 1) + ": " + why);
    }
    // The line just taken.
    [[noreturn]] void FailTaken(const std::string& why) {
        --number_;
        Fail(why);
    }

private:
    std::string_view bytes_;
    std::string_view what_;
    std::size_t at_ = 0;
    std::size_t number_ = 0;
};

std::string Decoded(TLineReader& reader, std::string_view text, std::size_t largest, const char* what) {
    std::string bytes;
    if (text.size() > (largest + 2) / 3 * 4 || !Base64Decode(std::string(text), bytes))
        reader.FailTaken(std::string(what) + " is not base64 of one");
    return bytes;
}

TSignature ReadSignature(TLineReader& reader) {
    const std::string_view value = reader.TakeValue(kSignatureWord);
    const std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos || !IsKeyId(value.substr(0, blank)))
        reader.FailTaken("a signature line gives the key's id (64 lower-case hex digits), a blank and the "
                         "signature");
    return {std::string(value.substr(0, blank)),
            Decoded(reader, value.substr(blank + 1), kLargestSignature, "the signature")};
}

// One statement; `previous` is the version of the one before it in the file.
TTrustStatement ReadStatement(TLineReader& reader, std::optional<std::uint64_t> previous) {
    TTrustStatement statement;
    const auto version = ParseCanonicalDecimal(reader.TakeValue(kVersionWord), 18);
    if (!version || *version < 2)
        reader.FailTaken("the version is a number from 2 on (version 1 is Config.ini's key)");
    if (previous && *version != *previous + 1)
        reader.FailTaken("version " + std::to_string(*version) + " follows version " +
                         std::to_string(*previous));
    statement.version = *version;
    statement.expires = ParseUtcTime(reader.TakeValue(kExpiresWord));
    if (!statement.expires)
        reader.FailTaken("the expiry is a UTC time of the form YYYY-MM-DDTHH:MM:SSZ");
    const auto threshold = ParseCanonicalDecimal(reader.TakeValue(kThresholdWord), 18);
    if (!threshold || *threshold < 1 || *threshold > kMostKeysPerStatement)
        reader.FailTaken("the threshold is a number from 1 to " + std::to_string(kMostKeysPerStatement));
    statement.threshold = static_cast<std::size_t>(*threshold);
    do {
        if (statement.keys.size() == kMostKeysPerStatement)
            reader.Fail("a statement names at most " + std::to_string(kMostKeysPerStatement) + " keys");
        std::string key = Decoded(reader, reader.TakeValue(kKeyWord), 256, "the key");
        if (!IsVerifyingKey(key))
            reader.FailTaken("the key is not a P-256 public key");
        if (std::find(statement.keys.begin(), statement.keys.end(), key) != statement.keys.end())
            reader.FailTaken("the key is named twice");
        statement.keys.push_back(std::move(key));
    } while (reader.StartsWith(reader.Peek(), kKeyWord));
    if (statement.threshold > statement.keys.size())
        reader.Fail("the threshold " + std::to_string(statement.threshold) + " is above the " +
                    std::to_string(statement.keys.size()) + " keys named");
    while (reader.StartsWith(reader.Peek(), kSignatureWord))
        statement.signatures.push_back(ReadSignature(reader));
    return statement;
}

std::string StatementBody(const TTrustStatement& statement) {
    std::string body = std::string(kVersionWord) + " " + std::to_string(statement.version) + "\n" +
                       std::string(kExpiresWord) + " " + FormatUtcTime(statement.expires.value_or(0)) + "\n" +
                       std::string(kThresholdWord) + " " + std::to_string(statement.threshold) + "\n";
    for (const std::string& key : statement.keys)
        body += std::string(kKeyWord) + " " + Base64Encode(key) + "\n";
    return body;
}

std::string SignatureLines(const std::vector<TSignature>& signatures) {
    std::string lines;
    for (const TSignature& signature : signatures)
        lines +=
            std::string(kSignatureWord) + " " + signature.keyId + " " + Base64Encode(signature.bytes) + "\n";
    return lines;
}

std::string Counted(std::size_t count, std::size_t of) {
    return std::to_string(count) + " of the " + std::to_string(of);
}

std::string StatePath(const std::string& appDir) {
    return appDir + kTrustStateFileName;
}

} // namespace

std::string KeyIdOf(const std::string& keyDer) {
    TSha256 hash;
    hash.Update(keyDer.data(), keyDer.size());
    return hash.HexDigest();
}

TTrustStatement ImpliedStatement(const std::string& configKeyDer) {
    TTrustStatement statement;
    statement.keys.push_back(configKeyDer);
    return statement;
}

std::vector<TTrustStatement> ParseTrustFile(std::string_view bytes) {
    TLineReader reader(bytes, "the statement of trust");
    std::vector<TTrustStatement> statements;
    do {
        if (!statements.empty() && !reader.Take().empty())
            reader.FailTaken("statements are parted by one empty line");
        statements.push_back(ReadStatement(
            reader, statements.empty() ? std::nullopt : std::optional(statements.back().version)));
    } while (!reader.AtEnd());
    return statements;
}

std::string FormatTrustFile(const std::vector<TTrustStatement>& statements) {
    std::string file;
    for (const TTrustStatement& statement : statements)
        file += (file.empty() ? "" : "\n") + StatementBody(statement) + SignatureLines(statement.signatures);
    return file;
}

std::string StatementMessage(const TTrustStatement& statement) {
    return std::string(kStatementHeading) + StatementBody(statement);
}

std::vector<TSignature> ParseListSignatures(std::string_view bytes) {
    // Today's form is one DER SEQUENCE, whose first byte is never the 's' of a signature line.
    if (bytes.substr(0, kSignatureWord.size()) != kSignatureWord)
        return {{std::string(), std::string(bytes)}};
    TLineReader reader(bytes, "the list's signature file");
    std::vector<TSignature> signatures;
    while (!reader.AtEnd())
        signatures.push_back(ReadSignature(reader));
    return signatures;
}

std::string FormatListSignatures(const std::vector<TSignature>& signatures) {
    return signatures.size() == 1 ? signatures.front().bytes : SignatureLines(signatures);
}

std::size_t CountSigners(const TTrustStatement& statement, const std::string& message,
                         const std::vector<TSignature>& signatures) {
    std::size_t signers = 0;
    for (const std::string& key : statement.keys) {
        const std::string id = KeyIdOf(key);
        // Each key counts once, however many of its signatures there are.
        signers += std::any_of(signatures.begin(), signatures.end(), [&](const TSignature& signature) {
            return (signature.keyId.empty() || signature.keyId == id) &&
                   VerifySignature(key, message, signature.bytes);
        });
    }
    return signers;
}

TTrustVerdict WalkTrust(const TTrustStatement& current, const std::vector<TTrustStatement>& statements,
                        std::int64_t now) {
    TTrustVerdict verdict{TTrustOutcome::Accepted, current, {}};
    const auto refuse = [&](TTrustOutcome outcome, std::string reason) {
        return TTrustVerdict{outcome, current, std::move(reason)};
    };
    if (!statements.empty() && statements.back().version < current.version)
        return refuse(TTrustOutcome::Older, "the statement of trust goes up to version " +
                                                std::to_string(statements.back().version) +
                                                ", below version " + std::to_string(current.version) +
                                                " accepted before: it was served again");
    for (const TTrustStatement& next : statements) {
        const TTrustStatement& before = verdict.current;
        if (next.version <= before.version)
            continue;
        const std::string named = "version " + std::to_string(next.version) + " of the statement of trust";
        if (next.version != before.version + 1)
            return refuse(TTrustOutcome::Refused, named + " follows version " +
                                                      std::to_string(before.version) +
                                                      ": a version is missing");
        const std::string message = StatementMessage(next);
        if (const std::size_t by = CountSigners(before, message, next.signatures); by < before.threshold)
            return refuse(TTrustOutcome::Refused, named + " is signed by " + Counted(by, before.threshold) +
                                                      " keys of version " + std::to_string(before.version) +
                                                      " it needs");
        if (const std::size_t by = CountSigners(next, message, next.signatures); by < next.threshold)
            return refuse(TTrustOutcome::Refused, named + " is signed by " + Counted(by, next.threshold) +
                                                      " of its own keys it needs");
        verdict.current = next;
    }
    if (verdict.current.expires && now >= *verdict.current.expires)
        return refuse(TTrustOutcome::Expired, "version " + std::to_string(verdict.current.version) +
                                                  " of the statement of trust expired at " +
                                                  FormatUtcTime(*verdict.current.expires));
    return verdict;
}

std::optional<TTrustStatement> ReadAcceptedStatement(const std::string& appDir) {
    if (!IsExistingFile(StatePath(appDir)))
        return std::nullopt;
    try {
        const std::vector<TTrustStatement> statements = ParseTrustFile(ReadWholeFile(StatePath(appDir)));
        return statements.size() == 1 ? std::optional(statements.front()) : std::nullopt;
    } catch (const ETrustFormatError&) {
        return std::nullopt;
    }
}

void StoreAcceptedStatement(const std::string& appDir, const TTrustStatement& statement) {
    ReplaceFile(StatePath(appDir), FormatTrustFile({statement}));
}

} // namespace pc
