// patchctl keygen KEY.pem and patchctl sign LIST --key KEY.pem: the operator's key and the detached
// signature that launchers with the key in Config.ini insist on.
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "framework/file_system.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/signing.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pc::patchctl {

std::string SignatureFileOf(const std::string& list) {
    return list + ".sig";
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

void SignListFile(const std::string& list, const std::string& keyPath) {
    WarnIfOthersCanRead(keyPath);
    const std::string key = ReadWholeFile(keyPath);
    const std::string bytes = ReadWholeFile(list);
    ReplaceFile(SignatureFileOf(list), SignData(key, bytes));
}

namespace {

constexpr int kUsageError = 2;

// The line that `patchctl config encode` takes for the key.
std::string ConfigLineOf(const std::string& privateKeyPem) {
    return "patchlist_key=" + Base64Encode(PublicKeyOfSigningKey(privateKeyPem));
}

int Keygen(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        std::fputs("usage: patchctl keygen KEY.pem\n", stderr);
        return kUsageError;
    }
    const std::string& path = args[0];
    const std::string pem = NewSigningKeyPem();
    // Private from the moment it exists, and made only where nothing is: of two keygens of one path, or a
    // link planted there, the file is never shared or followed.
    bool existed = false;
    fsys::TFile file = fsys::CreateNewPrivate(path, existed);
    if (!file.Valid()) {
        if (!existed)
            throw EFCreateError("Cannot create file " + path);
        std::fprintf(stderr, "patchctl keygen: %s exists; a key is never overwritten\n", path.c_str());
        return kUsageError;
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

int Sign(const std::vector<std::string>& args) {
    std::string list, key;
    bool unexpected = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 1 < args.size())
            key = args[++i];
        else if (list.empty() && !args[i].empty() && args[i][0] != '-')
            list = args[i];
        else
            unexpected = true;
    }
    if (unexpected || list.empty() || key.empty()) {
        std::fputs("usage: patchctl sign LIST --key KEY.pem\n", stderr);
        return kUsageError;
    }
    SignListFile(list, key);
    std::printf("%s: signed\n", SignatureFileOf(list).c_str());
    return 0;
}

const Registration keygen("keygen", "keygen KEY.pem", &Keygen);
const Registration sign("sign", "sign LIST --key KEY.pem", &Sign);

} // namespace
} // namespace pc::patchctl
