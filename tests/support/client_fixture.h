// A client as an operator publishes it for verify and repair: the manifest that names each file with its
// SHA-256, size and mode beside the archive that holds them.
#pragma once

#include "framework/crypto.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <map>
#include <string>

namespace pc::test {

inline std::string Sha256Of(const std::string& bytes) {
    pc::TSha256 hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.HexDigest();
}

// The manifest of `files` (name -> bytes, mode 0644) packed as client.zip with the bytes `archive`.
inline std::string ClientManifestOf(const std::map<std::string, std::string>& files,
                                    const std::string& archive) {
    std::string text = "//client-manifest 1\n//archive client.zip " + Sha256Of(archive) + "\n";
    for (const auto& [name, bytes] : files)
        text += Sha256Of(bytes) + " " + std::to_string(bytes.size()) + " 0644 " + name + "\n";
    return text;
}

// A client of one data file published at the top of `content` with a list that names its manifest (served
// at `manifestUrl`), and an installation whose copy of the file is damaged. Returns the file's right bytes.
inline std::string PublishClientAndDamageItsFile(const TempDir& content, const std::string& manifestUrl,
                                                 const TempDir& install) {
    const std::string data = "the game's data\n";
    const std::string archive = ZipBuilder().Deflated("data/level.dat", data).Build();
    content.Write("client.zip", archive);
    const std::string manifest = ClientManifestOf({{"data/level.dat", data}}, archive);
    content.Write("client.manifest", manifest);
    content.Write("list.txt", "//client " + manifestUrl + " " + Sha256Of(manifest) + "\r\n");
    std::filesystem::create_directories(install / "data");
    install.Write("data/level.dat", "broken");
    return data;
}

} // namespace pc::test
