// patchctl keygen KEY.pem and patchctl sign LIST --key KEY.pem: the operator's key and the detached
// signature that launchers with the key in Config.ini insist on.
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/file_system.h"
#include "framework/line_list.h"
#include "launcher/list/list_freshness.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/signing.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {

std::string SignatureFileOf(const std::string& list) {
    return list + ".sig";
}

namespace {

// The longest validity that --expires takes: a hundred years.
constexpr int kLongestValidityDays = 36500;

std::optional<int> ValidityDays(std::string_view text) {
    int days = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
    if (error != std::errc() || end != text.data() + text.size() || days < 1 || days > kLongestValidityDays)
        return std::nullopt;
    return days;
}

bool IsValidityLine(std::string_view line) {
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    return word == kValidityWord;
}

// The span of the list's validity line, if it has one. EListStampError for one that is malformed or
// repeated.
std::optional<int> ReadValidity(const std::string& bytes) {
    std::optional<int> days;
    int lines = 0;
    TStringList::VisitLines(bytes, [&](std::string_view line) {
        if (!IsValidityLine(line))
            return;
        ++lines;
        const std::size_t word = std::strlen(kValidityWord);
        days = line.size() > word && line[word] == ' ' ? ValidityDays(line.substr(word + 1)) : std::nullopt;
        if (!days || lines > 1)
            throw EListStampError(
                std::string("The list cannot be signed: its validity line is not given once "
                            "in the form '") +
                kValidityWord + " DAYS' (1 to " + std::to_string(kLongestValidityDays) + ")");
    });
    return days;
}

} // namespace

TStampedList StampListForSigning(const std::string& bytes, std::optional<int> expiresDays, std::int64_t now) {
    const TListStamps stamps = ReadListStamps(bytes);
    for (const std::string* problem : {&stamps.serialProblem, &stamps.expiresProblem})
        if (!problem->empty())
            throw EListStampError("The list cannot be signed: " + *problem);
    TStampedList stamped;
    if (stamps.serial && *stamps.serial >= kLargestSerial)
        throw EListStampError("The list cannot be signed: its serial " + std::to_string(*stamps.serial) +
                              " is the largest a list can carry");
    stamped.serial = stamps.serial ? *stamps.serial + 1 : 1;
    // A list signed for a span keeps it: each signing renews the expiry unless given another span.
    stamped.validityDays = expiresDays ? expiresDays : ReadValidity(bytes);
    expiresDays = stamped.validityDays;
    if (expiresDays)
        stamped.expires = now + std::int64_t{*expiresDays} * kSecondsPerDay;
    else if (stamps.expires && *stamps.expires <= now)
        throw EListStampError("The list cannot be signed: it expired at " + FormatUtcTime(*stamps.expires) +
                              ", and launchers refuse it so; sign it with --expires DAYS");
    else
        stamped.expires = stamps.expires;

    stamped.bytes = SerialLine(stamped.serial) + "\r\n";
    if (stamped.expires)
        stamped.bytes += ExpiresLine(*stamped.expires) + "\r\n";
    if (stamped.validityDays)
        stamped.bytes += std::string(kValidityWord) + " " + std::to_string(*stamped.validityDays) + "\r\n";
    // The old stamp lines go, with their line ends; every other byte stays. Past the first NUL launchers
    // read nothing, so nothing there is a stamp.
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find_first_of(std::string_view("\r\n\0", 3), at);
        if (end != std::string::npos && bytes[end] == '\0')
            break;
        std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
        if (end != std::string::npos && bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n')
            ++next;
        const std::string_view line(bytes.data() + at, (end == std::string::npos ? bytes.size() : end) - at);
        if (StampKindOf(line) == TStampKind::None && !IsValidityLine(line))
            stamped.bytes.append(bytes, at, next - at);
        at = next;
    }
    stamped.bytes.append(bytes, at, std::string::npos);
    return stamped;
}

std::vector<TSignature> SignWithEach(const std::vector<std::string>& keyPems, const std::string& bytes) {
    std::vector<TSignature> signatures;
    for (const std::string& pem : keyPems)
        signatures.push_back({KeyIdOf(PublicKeyOfSigningKey(pem)), SignData(pem, bytes)});
    return signatures;
}

void WriteSignedList(const std::string& list, const std::vector<std::string>& keyPems,
                     const TStampedList& stamped) {
    const std::string signatures = FormatListSignatures(SignWithEach(keyPems, stamped.bytes));
    ReplaceFile(list, stamped.bytes);
    ReplaceFile(SignatureFileOf(list), signatures);
}

std::string SignedSummary(const std::string& list, const TStampedList& stamped) {
    std::string summary = SignatureFileOf(list) + ": signed, serial " + std::to_string(stamped.serial);
    if (stamped.expires)
        summary += ", expires " + FormatUtcTime(*stamped.expires);
    return summary;
}

namespace {

// A private key that others can read lets them sign lists that every player accepts.
void WarnIfOthersCanRead(const std::string& keyPath) {
    const std::optional<std::uint32_t> mode = fsys::PermissionsOf(keyPath);
    if (mode && (*mode & 0044) != 0)
        std::fprintf(stderr,
                     "patchctl: warning: the key %s can be read by other users (mode %04o); whoever reads it "
                     "can sign patch lists that players accept. Make it private: chmod 600 %s\n",
                     keyPath.c_str(), static_cast<unsigned>(*mode), keyPath.c_str());
}

} // namespace

std::string ReadSigningKey(const std::string& keyPath) {
    WarnIfOthersCanRead(keyPath);
    return ReadWholeFile(keyPath);
}

std::vector<std::string> ReadSigningKeys(const std::vector<std::string>& keyPaths) {
    std::vector<std::string> pems, publicKeys;
    for (const std::string& path : keyPaths) {
        pems.push_back(ReadSigningKey(path));
        publicKeys.push_back(PublicKeyOfSigningKey(pems.back()));
        for (std::size_t i = 0; i + 1 < publicKeys.size(); ++i)
            if (publicKeys[i] == publicKeys.back())
                throw UsageError(keyPaths[i] + " and " + path + " hold the same key, which counts once");
    }
    return pems;
}

namespace {

// keygen refuses a path where a file exists with the status of a bad command line.
constexpr int kRefused = 2;

// The line that `patchctl config encode` takes for the key.
std::string ConfigLineOf(const std::string& privateKeyPem) {
    return "patchlist_key=" + Base64Encode(PublicKeyOfSigningKey(privateKeyPem));
}

} // namespace

int RunKeygen(const Arguments& args) {
    const std::string& path = args.Positionals()[0];
    const std::string pem = NewSigningKeyPem();
    // Private from the moment it exists, and made only where nothing is: of two keygens of one path, or a
    // link planted there, the file is never shared or followed.
    bool existed = false;
    fsys::TFile file = fsys::CreateNewPrivate(path, existed);
    if (!file.Valid()) {
        if (!existed)
            throw EFCreateError("Cannot create file " + path);
        std::fprintf(stderr, "patchctl keygen: %s exists; a key is never overwritten\n", path.c_str());
        return kRefused;
    }
    const auto size = static_cast<std::int64_t>(pem.size());
    if (fsys::WriteAt(file, pem.data(), size, 0) != size || !fsys::FlushToDevice(file) || !file.Close()) {
        file.Close();
        fsys::RemoveNonDirectory(path);
        throw EWriteError("Stream write error");
    }
    std::printf("%s\n", ConfigLineOf(pem).c_str());
    return 0;
}

std::optional<int> ExpiresDays(const Arguments& args) {
    const std::optional<std::string> text = args.Value("--expires");
    if (!text)
        return std::nullopt;
    const std::optional<int> days = ValidityDays(*text);
    if (!days)
        throw UsageError("--expires takes a number of days from 1 to " +
                         std::to_string(kLongestValidityDays) + ", not '" + *text + "'");
    return days;
}

int RunSign(const Arguments& args) {
    const std::string& list = args.Positionals()[0];
    const std::optional<int> expiresDays = ExpiresDays(args);
    // A key that cannot sign is found out before the list changes.
    const std::vector<std::string> pems = ReadSigningKeys(args.Values("--key"));
    const TStampedList stamped = StampListForSigning(ReadWholeFile(list), expiresDays, UnixSecondsNow());
    WriteSignedList(list, pems, stamped);
    std::printf("%s\n", SignedSummary(list, stamped).c_str());
    return 0;
}

} // namespace pc::patchctl
