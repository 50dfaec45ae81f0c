// Releases made by the operator's patchctl release and the installations that update to them; each
// edition's suite instantiates the scenarios (release_scenarios_test.cpp).
#pragma once

#include "tests/support/update_scenarios.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace pc::test {

namespace release_fs = std::filesystem;
using ReleaseTree = std::map<std::string, std::string>;

inline void WriteReleaseTree(const release_fs::path& root, const ReleaseTree& tree) {
    for (const auto& [name, bytes] : tree) {
        release_fs::create_directories((root / name).parent_path());
        std::ofstream(root / name, std::ios::binary | std::ios::trunc) << bytes;
    }
}

inline std::string Megabytes(std::uintmax_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// Six releases of a game whose pack file has the same three blocks rewritten each time (the case where a
// chain costs most), with a program that changes and files that come and go.
class ReleaseRun {
public:
    static constexpr int kReleases = 6;
    ReleaseTree versions[kReleases + 1];

    ReleaseRun() {
        std::string pack = NoiseBytes(2u << 20, 7);
        for (int n = 1; n <= kReleases; ++n) {
            for (std::size_t block : {100000u, 900000u, 1700000u})
                pack.replace(block, 65536, NoiseBytes(65536, static_cast<std::uint32_t>(n * 31 + block)));
            ReleaseTree& tree = versions[n];
            tree["data/pack.dat"] = pack;
            tree["bin/game.exe"] = NoiseBytes(50000, 3) + "build " + std::to_string(n);
            tree["readme.txt"] = "release " + std::to_string(n) + "\n";
            if (n < 3)
                tree["old/notes.txt"] = "gone in release 3\n";
        }
    }
};

class ReleaseScenario : public UpdateScenario {
protected:
    // Makes release 1..`upTo` with the operator's patchctl release, N = 2; the last with `lastOptions`.
    void Release(const ReleaseRun& run, int upTo, const std::string& lastOptions = {}) {
        for (int n = 1; n <= upTo; ++n) {
            const ProgramResult r = ReleaseOf(n, run.versions[n], n == upTo ? lastOptions : std::string());
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
    }
    // Makes release `n` of `tree`, N = 2; `environment` ("NAME=VALUE ") comes before the command.
    ProgramResult ReleaseOf(int n, const ReleaseTree& tree, const std::string& options = {},
                            const std::string& environment = {}) {
        const release_fs::path folder = work_ / ("v" + std::to_string(n));
        WriteReleaseTree(folder, tree);
        return RunProgram(environment + Quoted(Edition().OperatorTool()) + " release " +
                          Quoted(content_ / "rel") + " " + Quoted(folder) + " --list " +
                          Quoted(content_ / "list.txt") + " --url " + server_->Url("/rel") + " --deltas 2" +
                          options);
    }
    // The installation as release `n` left it: its files and the ledger of the rows of releases 2..n.
    void InstallRelease(const ReleaseRun& run, int n) {
        for (const auto& entry : release_fs::directory_iterator(install_.Path()))
            if (entry.path().filename() != "Config.ini")
                release_fs::remove_all(entry.path());
        WriteReleaseTree(install_.Path(), run.versions[n]);
        std::string ledger;
        for (int id = 1; id < n; ++id)
            ledger += std::to_string(id) + "\r\n";
        install_.Write("tqm_patch.ini", ledger);
    }
    void ExpectRelease(const ReleaseRun& run, int n) {
        for (const auto& [name, bytes] : run.versions[n])
            EXPECT_TRUE(ReadFileBytes(install_ / name) == bytes) << name;
        std::string ledger;
        for (int id = 1; id < n; ++id)
            ledger += std::to_string(id) + "\r\n";
        EXPECT_EQ(Ledger(), ledger);
    }
    std::uintmax_t Size(const std::string& path) const {
        return release_fs::file_size(content_.Path() / release_fs::path("rel") / path);
    }
    long long Served(const std::string& since) const {
        long long bytes = 0;
        for (const std::string& line : LogLinesFor(Requests().substr(since.size()), "/rel/"))
            bytes += BytesSent(line);
        return bytes;
    }

    TempDir work_;
};

} // namespace pc::test
