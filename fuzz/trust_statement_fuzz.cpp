// The statement of trust reader on arbitrary bytes: whatever it accepts is a chain of consecutive versions,
// each with a threshold its keys can meet, that reads back the same once written; whatever
// it refuses is refused with its line named. A walk from a key whose private half nobody holds never reaches
// a served version. A list's signature file is read from the same bytes.
#include "fuzz/fuzz_target.h"

#include "framework/crypto.h"
#include "launcher/list/trust_statement.h"

#include <string>

namespace pc::fuzz {
namespace {

// A P-256 public key made for this check, its private half thrown away.
const std::string& UnheldKey() {
    static const std::string key = [] {
        std::string der;
        Base64Decode(
            "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEugbYwEhoB3SZ4+tRU4aGfT80k1qqGZTqCPinDJklpSjtJsbAWZkGeO1b8da/"
            "d/YTfY8hgcEniBwz+TBkxXCX/Q==",
            der);
        return der;
    }();
    return key;
}

int Run(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const std::vector<TTrustStatement> statements = ParseTrustFile(bytes);
        FUZZ_CHECK(!statements.empty());
        for (std::size_t i = 0; i < statements.size(); ++i)
            FUZZ_CHECK(statements[i].version >= 2 &&
                       (i == 0 || statements[i].version == statements[i - 1].version + 1) &&
                       statements[i].threshold >= 1 && statements[i].threshold <= statements[i].keys.size());
        const std::string written = FormatTrustFile(statements);
        FUZZ_CHECK(FormatTrustFile(ParseTrustFile(written)) == written);
        const TTrustVerdict verdict = WalkTrust(ImpliedStatement(UnheldKey()), statements, 0);
        FUZZ_CHECK(verdict.current.version == 1 && verdict.outcome != TTrustOutcome::Accepted);
    } catch (const ETrustFormatError& e) {
        FUZZ_CHECK(e.Message().rfind("the statement of trust ", 0) == 0);
    }
    try {
        const std::vector<TSignature> signatures = ParseListSignatures(bytes);
        FUZZ_CHECK(ParseListSignatures(FormatListSignatures(signatures)).size() == signatures.size());
    } catch (const ETrustFormatError& e) {
        FUZZ_CHECK(e.Message().rfind("the list's signature file ", 0) == 0);
    }
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(trust_statement, pc::fuzz::Run)
