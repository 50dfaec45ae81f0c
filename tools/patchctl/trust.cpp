// patchctl trust init and trust rotate: the statement of trust published beside the list, which lets the
// operator change the keys that sign lists. Each new version is checked by the launcher's own rule before
// it is written: signed by enough keys of the version before and of its own.
#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/file_io.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/trust_statement.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/signing.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace pc::patchctl {
namespace {

// A statement lasts a year unless --expires says otherwise.
constexpr int kDefaultValidityDays = 365;
// The status of a refusal: signatures below a threshold, a file that cannot be read or written.
constexpr int kRefused = 1;

std::size_t ThresholdOf(const Arguments& args, std::size_t fallback, std::size_t keys) {
    std::size_t threshold = fallback;
    if (const std::optional<std::string> text = args.Value("--threshold")) {
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), threshold);
        if (error != std::errc() || end != text->data() + text->size() || threshold < 1)
            throw UsageError("--threshold takes a number from 1 on, not '" + *text + "'");
    }
    if (threshold > keys)
        throw UsageError("the threshold " + std::to_string(threshold) + " is above the " +
                         std::to_string(keys) + " keys the statement names");
    return threshold;
}

// The public half of the key at `path`, which may be private or public.
std::string PublicKeyAt(const std::string& path) {
    try {
        return PublicKeyOfPem(ReadWholeFile(path));
    } catch (const ECryptoError&) {
        throw UsageError(path + " is not a P-256 key in PEM");
    }
}

bool Holds(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Signs `next` with every private key of `signers` (each a key of `before` or of `next`), checks it by the
// launcher's rule and writes `statements` with it appended.
int WriteNext(const std::string& path, std::vector<TTrustStatement> statements, const TTrustStatement& before,
              TTrustStatement next, const std::vector<std::string>& signerPaths) {
    if (next.keys.size() > kMostKeysPerStatement)
        throw UsageError("a statement names at most " + std::to_string(kMostKeysPerStatement) + " keys");
    const std::vector<std::string> pems = ReadSigningKeys(signerPaths);
    for (std::size_t i = 0; i < pems.size(); ++i) {
        const std::string key = PublicKeyOfSigningKey(pems[i]);
        if (!Holds(before.keys, key) && !Holds(next.keys, key))
            throw UsageError(signerPaths[i] + " is a key of neither version " +
                             std::to_string(before.version) + " nor version " + std::to_string(next.version));
    }
    next.signatures = SignWithEach(pems, StatementMessage(next));
    const TTrustVerdict verdict = WalkTrust(before, {next}, UnixSecondsNow());
    if (verdict.outcome != TTrustOutcome::Accepted) {
        std::fprintf(stderr, "patchctl trust: refused, %s is unchanged: %s\n", path.c_str(),
                     verdict.reason.c_str());
        return kRefused;
    }
    statements.push_back(next);
    ReplaceFile(path, FormatTrustFile(statements));
    std::printf("%s: version %ju, %zu key%s, threshold %zu, expires %s\n", path.c_str(),
                static_cast<std::uintmax_t>(next.version), next.keys.size(), next.keys.size() == 1 ? "" : "s",
                next.threshold, FormatUtcTime(*next.expires).c_str());
    return 0;
}

std::int64_t ExpiryOf(const Arguments& args) {
    return UnixSecondsNow() + std::int64_t{ExpiresDays(args).value_or(kDefaultValidityDays)} * kSecondsPerDay;
}

} // namespace

int RunTrustInit(const Arguments& args) {
    const std::string& path = args.Positionals()[0];
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error)))
        throw UsageError(path + " exists; trust rotate makes the next version");
    const std::string from = *args.Value("--from");
    const TTrustStatement implied = ImpliedStatement(PublicKeyOfSigningKey(ReadSigningKey(from)));
    TTrustStatement next;
    next.version = 2;
    std::vector<std::string> signers{from};
    for (const std::string& keyPath : args.Values("--key")) {
        const std::string key = PublicKeyOfSigningKey(ReadSigningKey(keyPath));
        if (Holds(next.keys, key))
            throw UsageError(keyPath + " is named twice");
        next.keys.push_back(key);
        if (key != implied.keys.front()) // Config.ini's key signs once, as --from
            signers.push_back(keyPath);
    }
    next.threshold = ThresholdOf(args, 1, next.keys.size());
    next.expires = ExpiryOf(args);
    return WriteNext(path, {}, implied, next, signers);
}

int RunTrustRotate(const Arguments& args) {
    const std::string& path = args.Positionals()[0];
    const std::vector<TTrustStatement> statements = ParseTrustFile(ReadWholeFile(path));
    const TTrustStatement& before = statements.back();
    TTrustStatement next;
    next.version = before.version + 1;
    next.keys = before.keys;
    for (const std::string& keyPath : args.Values("--remove")) {
        const auto at = std::find(next.keys.begin(), next.keys.end(), PublicKeyAt(keyPath));
        if (at == next.keys.end())
            throw UsageError(keyPath + " is not a key of version " + std::to_string(before.version));
        next.keys.erase(at);
    }
    for (const std::string& keyPath : args.Values("--add")) {
        const std::string key = PublicKeyAt(keyPath);
        if (Holds(next.keys, key))
            throw UsageError(keyPath + " is a key of version " + std::to_string(next.version) + " already");
        next.keys.push_back(key);
    }
    if (next.keys.empty())
        throw UsageError("version " + std::to_string(next.version) + " would name no key");
    next.threshold = ThresholdOf(args, before.threshold, next.keys.size());
    next.expires = ExpiryOf(args);
    return WriteNext(path, statements, before, next, args.Values("--sign"));
}

} // namespace pc::patchctl
