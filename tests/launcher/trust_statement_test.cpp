// The statement of trust: the walk from the statement accepted before through the served versions, how a
// file and a list's signatures are read, and how many keys signed a list. Keys are made by the edition's own
// crypto, so the Windows build checks CNG here as the Linux one checks OpenSSL.
#include "launcher/list/trust_statement.h"

#include "framework/crypto.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using pc::TSignature;
using pc::TTrustOutcome;
using pc::TTrustStatement;

constexpr std::int64_t kNow = 1'800'000'000;

struct Key {
    std::string pem = pc::NewSigningKeyPem();
    std::string der = pc::PublicKeyOfSigningKey(pem);
    TSignature Sign(const std::string& message) const {
        return {pc::KeyIdOf(der), pc::SignData(pem, message)};
    }
};

class TrustStatement : public ::testing::Test {
protected:
    // A, B, C, D; A is Config.ini's.
    static const std::array<Key, 4>& Keys() {
        static const std::array<Key, 4> keys;
        return keys;
    }
    static const Key& K(char name) { return Keys()[static_cast<std::size_t>(name - 'A')]; }

    // Version `version` naming `keys` with `threshold`, expiring `expiresIn` seconds after kNow, signed by
    // `signers` (a key named twice signs twice).
    static TTrustStatement Made(std::uint64_t version, const std::string& keys, std::size_t threshold,
                                const std::string& signers, std::int64_t expiresIn = 86400) {
        TTrustStatement statement;
        statement.version = version;
        statement.expires = kNow + expiresIn;
        statement.threshold = threshold;
        for (const char name : keys)
            statement.keys.push_back(K(name).der);
        for (const char name : signers)
            statement.signatures.push_back(K(name).Sign(pc::StatementMessage(statement)));
        return statement;
    }
    static TTrustStatement Implied() { return pc::ImpliedStatement(K('A').der); }
};

// "version N of the statement of trust " and what follows.
std::string Of(int version, const std::string& rest) {
    return "version " + std::to_string(version) + " of the statement of trust " + rest;
}

TEST_F(TrustStatement, WalkFromTheAcceptedVersion) {
    TTrustStatement resigned = Made(2, "B", 1, "AB");
    resigned.keys.push_back(K('C').der); // the signatures no longer cover what the statement says
    const std::string byOne = "is signed by 0 of the 1 keys of version 1 it needs";
    const struct {
        TTrustStatement from;
        std::vector<TTrustStatement> served;
        TTrustOutcome outcome;
        std::uint64_t reached; // the version in force afterwards
        std::string reason;
    } cases[] = {
        {Implied(), {}, TTrustOutcome::Accepted, 1, ""},
        {Implied(), {Made(2, "B", 1, "AB")}, TTrustOutcome::Accepted, 2, ""},
        // Several versions in one walk; an expired one on the way does not matter.
        {Implied(),
         {Made(2, "B", 1, "AB", -5), Made(3, "BCD", 2, "BC"), Made(4, "CD", 2, "CD")},
         TTrustOutcome::Accepted,
         4,
         ""},
        {Made(3, "BCD", 2, ""),
         {Made(2, "B", 1, ""), Made(3, "BCD", 2, ""), Made(4, "CD", 2, "CD")},
         TTrustOutcome::Accepted,
         4,
         ""},
        {Implied(),
         {Made(3, "B", 1, "AB")},
         TTrustOutcome::Refused,
         1,
         Of(3, "follows version 1: a version is missing")},
        {Implied(), {Made(2, "B", 1, "B")}, TTrustOutcome::Refused, 1, Of(2, byOne)},
        {Implied(), {resigned}, TTrustOutcome::Refused, 1, Of(2, byOne)},
        {Implied(),
         {Made(2, "BC", 2, "AB")},
         TTrustOutcome::Refused,
         1,
         Of(2, "is signed by 1 of the 2 of its own keys it needs")},
        // Two signatures by one key count once.
        {Made(2, "BCD", 2, ""),
         {Made(3, "BCD", 2, "BB")},
         TTrustOutcome::Refused,
         2,
         Of(3, "is signed by 1 of the 2 keys of version 2 it needs")},
        // A later fault refuses the whole walk.
        {Implied(),
         {Made(2, "B", 1, "AB"), Made(3, "C", 1, "C")},
         TTrustOutcome::Refused,
         1,
         Of(3, "is signed by 0 of the 1 keys of version 2 it needs")},
        {Made(3, "C", 1, ""),
         {Made(2, "B", 1, "AB")},
         TTrustOutcome::Older,
         3,
         "the statement of trust goes up to version 2, below version 3 accepted before: it was served again"},
        {Implied(),
         {Made(2, "B", 1, "AB", 0)},
         TTrustOutcome::Expired,
         1,
         Of(2, "expired at 2027-01-15T08:00:00Z")},
        {Made(2, "B", 1, "", -1), {}, TTrustOutcome::Expired, 2, Of(2, "expired at 2027-01-15T07:59:59Z")},
    };
    for (const auto& c : cases) {
        const pc::TTrustVerdict verdict = pc::WalkTrust(c.from, c.served, kNow);
        EXPECT_EQ(verdict.outcome, c.outcome) << c.reason;
        EXPECT_EQ(verdict.current.version, c.reached) << c.reason;
        EXPECT_EQ(verdict.reason, c.reason);
    }
}

TEST_F(TrustStatement, FileReadsBackAndRefusesWhatIsNotItsForm) {
    const std::string file = pc::FormatTrustFile({Made(2, "B", 1, "AB"), Made(3, "BC", 2, "BC")});
    EXPECT_EQ(pc::FormatTrustFile(pc::ParseTrustFile(file)), file);
    EXPECT_EQ(pc::WalkTrust(Implied(), pc::ParseTrustFile(file), kNow).current.version, 3u);

    const std::string second = file.substr(file.find("\nversion 3") + 1);
    const std::string key = "key " + pc::Base64Encode(K('B').der) + "\n";
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = file;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        std::string text, error; // after "the statement of trust "
    } refused[] = {
        {"", "line 1: 'version ...' is expected"},
        {replaced("\n", "\r\n"), "has CR characters; its lines end with LF alone"},
        {replaced("version 2", "version 1"),
         "line 1: the version is a number from 2 on (version 1 is Config.ini's key)"},
        {replaced("threshold 1", "threshold 2"), "line 5: the threshold 2 is above the 1 keys named"},
        {replaced(key, key + key), "line 5: the key is named twice"},
        {replaced("\nversion 3", "version 3"), "line 7: statements are parted by one empty line"},
        {replaced("version 3", "version 4"), "line 8: version 4 follows version 2"},
        {second + "\n" + second, "line 9: version 3 follows version 3"},
        {replaced("signature ", "signature 00"),
         "line 5: a signature line gives the key's id (64 lower-case hex digits), a blank and the signature"},
    };
    for (const auto& c : refused) {
        try {
            pc::ParseTrustFile(c.text);
            ADD_FAILURE() << "read: " << c.text;
        } catch (const pc::ETrustFormatError& e) {
            EXPECT_EQ(e.Message(), "the statement of trust " + c.error);
        }
    }
}

// A list is signed by as many keys in force as verify over its bytes.
TEST_F(TrustStatement, ListSignaturesCountDistinctKeysInForce) {
    const TTrustStatement inForce = Made(3, "BCD", 2, "");
    const std::string list = "//serial 4\r\n1\thttp://h/p1.zip\t5\t\t0\t\r\n";
    const auto sig = [&](const std::string& signers) {
        std::vector<TSignature> signatures;
        for (const char name : signers)
            signatures.push_back(K(name).Sign(list));
        return pc::FormatListSignatures(signatures);
    };
    const std::pair<std::string, std::size_t> cases[] = {
        {sig("BC"), 2},
        {sig("BCD"), 3},
        {sig("B"), 1},
        {sig("BB"), 1},
        {sig("AB"), 1},
        {sig("A"), 0},
        {pc::SignData(K('C').pem, list), 1}, // today's single DER signature, by whichever key
        {sig("BC").replace(10, 64, std::string(64, '0')), 1}, // B's line names another key: not tried
    };
    for (const auto& [file, signers] : cases)
        EXPECT_EQ(pc::CountSigners(inForce, list, pc::ParseListSignatures(file)), signers) << file;
    EXPECT_EQ(pc::CountSigners(inForce, list + " ", pc::ParseListSignatures(sig("BCD"))), 0u);
    EXPECT_EQ(sig("B").substr(0, 1), "0"); // one key's signature stays in today's form, a DER SEQUENCE
}

// Keys to trust are named by their private or their public PEM.
TEST_F(TrustStatement, PublicKeyOfEitherPem) {
    const std::string text = pc::Base64Encode(K('B').der);
    const std::string pem = "-----BEGIN PUBLIC KEY-----\n" + text.substr(0, 64) + "\n" + text.substr(64) +
                            "\n-----END PUBLIC KEY-----\n";
    EXPECT_EQ(pc::PublicKeyOfPem(pem), K('B').der);
    EXPECT_EQ(pc::PublicKeyOfPem(K('B').pem), K('B').der);
    EXPECT_THROW(pc::PublicKeyOfPem("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
                 pc::ECryptoError);
}

} // namespace
