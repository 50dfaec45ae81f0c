// The fixture of the verify and repair scenarios that both editions must pass alike: a client published
// on nginx (its archive, its manifest and the list that names it) and an installation made from it, with
// what a player adds. Each edition's suite instantiates the scenarios with its own patchctl.
#pragma once

#include "tests/archive/zip_builder.h"
#include "tests/support/client_fixture.h"
#include "tests/support/update_scenarios.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

namespace pc::test {

// Every regular file beneath `root` with its bytes, names relative with '/'.
inline std::map<std::string, std::string> TreeOf(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        // The lock file that every run leaves is the installation's, not the player's or the client's.
        if (item.is_regular_file() && item.path().filename() != ".tqm_lock")
            tree[std::filesystem::relative(item.path(), root).generic_string()] =
                ReadFileBytes(item.path().string());
    return tree;
}

class GameFiles : public UpdateScenario {
protected:
    void SetUp() override {
        UpdateScenario::SetUp();
        if (IsSkipped())
            return;
        files_ = {{"data/big.pak", pc::test::NoiseBytes(400'000, 1)},
                  {"data/small.txt", "small\n"},
                  {"game.exe", pc::test::NoiseBytes(300'000, 2)},
                  {"maps/one.map", pc::test::NoiseBytes(20'000, 3)},
                  {"readme.txt", "read me\n"}};
        archive_ = Archive(files_);
        Publish(files_, archive_);
        // The installation as the client made it, with what the player added.
        for (const auto& [name, bytes] : files_) {
            std::filesystem::create_directories((install_ / name).substr(0, (install_ / name).rfind('/')));
            install_.Write(name, bytes);
        }
        std::filesystem::create_directories(install_ / "screenshots");
        install_.Write("screenshots/shot1.png", "the player's picture");
        install_.Write("tqm_patch.ini", "42\r\n");
        // Reading a pipe waits for a writer that never comes: a check that opened it would hang.
        ASSERT_EQ(::mkfifo((install_ / "screenshots/pipe").c_str(), 0600), 0);
    }

    static std::string Archive(const std::map<std::string, std::string>& files) {
        ZipBuilder zip;
        for (const auto& [name, bytes] : files)
            zip.Deflated(name, bytes);
        return zip.Build();
    }

    static std::string Manifest(const std::map<std::string, std::string>& files, const std::string& archive) {
        return ClientManifestOf(files, archive);
    }

    // Serves the archive and the manifest, and the list that names the manifest's SHA-256 (or `listedSha`).
    void Publish(const std::map<std::string, std::string>& files, const std::string& archive,
                 const std::string& manifestText = "", const std::string& listedSha = "") {
        std::filesystem::create_directories(content_ / "client");
        content_.Write("client/client.zip", archive);
        const std::string manifest = manifestText.empty() ? Manifest(files, archive) : manifestText;
        content_.Write("client/client.manifest", manifest);
        ServeList("//client " + server_->Url("/client/client.manifest") + " " +
                  (listedSha.empty() ? Sha256Of(manifest) : listedSha) + "\r\n");
    }

    // Truncates one file, changes another, deletes a third.
    void Damage() {
        install_.Write("data/big.pak", files_["data/big.pak"].substr(0, 1000));
        install_.Write("readme.txt", "READ ME\n");
        std::filesystem::remove(install_ / "maps/one.map");
    }

    ProgramResult Verify() const { return Patchctl("verify " + Quoted(install_.Path())); }
    ProgramResult Repair() const { return Patchctl("repair " + Quoted(install_.Path())); }

    long long ArchiveBytesSent() const {
        long long sent = 0;
        for (const std::string& line : LogLinesFor(Requests(), "/client/client.zip"))
            sent += BytesSent(line);
        return sent;
    }

    std::map<std::string, std::string> files_;
    std::string archive_;
};

} // namespace pc::test
