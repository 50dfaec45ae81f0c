// patchctl keygen KEY.pem and patchctl sign LIST --key KEY.pem: the operator's key and the detached
// signature that launchers with the key in Config.ini insist on.
#include "framework/crypto.h"
#include "framework/file_io.h"
#include "tools/patchctl/command.h"
#include "tools/patchctl/signing.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace pc::patchctl {

std::string SignatureFileOf(const std::string& list) {
    return list + ".sig";
}

void SignListFile(const std::string& list, const std::string& keyPath) {
    const std::string key = ReadWholeFile(keyPath);
    const std::string bytes = ReadWholeFile(list);
    ReplaceFile(SignatureFileOf(list), SignData(key, bytes));
}

namespace {

namespace fs = std::filesystem;

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
    std::error_code error;
    if (fs::exists(fs::symlink_status(path, error))) {
        std::fprintf(stderr, "patchctl keygen: %s exists; a key is never overwritten\n", path.c_str());
        return kUsageError;
    }
    const std::string pem = NewSigningKeyPem();
    {
        // Made empty and private first, so that the key is never readable by others.
        std::ofstream create(path, std::ios::binary | std::ios::trunc);
        if (!create)
            throw EFCreateError("Cannot create file " + path);
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, error);
    if (error)
        throw EFCreateError("Cannot create file " + path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << pem;
    out.close();
    if (!out)
        throw EWriteError("Stream write error");
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
