// The update scenarios that both editions must pass alike, written once: a fixture that serves a patch set
// from a real nginx on loopback and runs one edition's `patchctl update` against an installation in a
// temporary folder. Each edition's suite names its patchctl and where it keeps archives, and instantiates
// the scenarios with it.
#pragma once

#include "tests/archive/zip_builder.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pc::test {

// One edition's patchctl as the scenarios drive it.
class PatchctlEdition {
public:
    virtual ~PatchctlEdition() = default;
    // Why the edition cannot run on this machine; empty when it can.
    virtual std::string Missing() const = 0;
    // The command that starts patchctl, as words: the program first.
    virtual std::vector<std::string> Words() const = 0;
    // The patchctl the realm's operator publishes and signs with: the Linux one for both editions.
    virtual std::string OperatorTool() const = 0;
    // Where the archive of a URL's last segment is kept while it comes, and the state that continues it.
    virtual std::filesystem::path StoredArchive(const std::string& install,
                                                const std::string& segment) const = 0;
    virtual std::filesystem::path ResumeState(const std::string& install,
                                              const std::string& segment) const = 0;
    // An nginx rate at which an 8 MiB download is still on its way once the edition has started and come
    // 40 % of it, and how long that may take on a loaded machine (twice that bounds a run of a few small
    // patches).
    virtual std::string SlowRate() const = 0;
    virtual std::chrono::seconds Patience() const = 0;
    // A program a patch may bring that runs for a second or so, and the row's run field that starts it.
    virtual ZipEntryDef SlowProgram() const = 0;
    virtual std::string SlowProgramRun() const = 0;
    // The program that the road of one patch brings in its archive under the name `run`: it leaves the file
    // `trace` in the installation `install`, which holds `traced` when it ran as it should.
    struct SetupProgram {
        ZipEntryDef entry;
        std::string run, trace, traced;
    };
    virtual SetupProgram Setup(const std::string& install) const = 0;
};

class UpdateScenario : public ::testing::TestWithParam<const PatchctlEdition*> {
protected:
    const PatchctlEdition& Edition() const { return *GetParam(); }
    static std::string Quoted(const std::string& text) { return "'" + text + "'"; }

    void SetUp() override {
        if (const std::string missing = Edition().Missing(); !missing.empty())
            GTEST_SKIP() << missing;
        StartServer();
    }

    // (Re)starts the server and writes the installation's configuration for it.
    void StartServer(NginxOptions options = {}) {
        server_ = std::make_unique<NginxServer>(content_.Path(), std::move(options));
        const ProgramResult encoded = Patchctl(
            "config encode --key 5A", RealmConfig(server_->Url("/news.html"), server_->Url("/list.txt")));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }

    ProgramResult Patchctl(const std::string& args, const std::string& input = "") const {
        std::string line;
        for (const std::string& word : Edition().Words())
            line += Quoted(word) + " ";
        return RunProgram(line + args, input);
    }
    ProgramResult Update() const { return Patchctl("update " + Quoted(install_.Path())); }
    // The realm's operator at work, with the Linux patchctl for both editions.
    ProgramResult Operator(const std::string& args) const {
        return RunProgram(Quoted(Edition().OperatorTool()) + " " + args);
    }
    // Makes the signing key `pem` and pins it in the installation's Config.ini.
    void PinNewKey(const std::string& pem) {
        const ProgramResult made = Operator("keygen " + Quoted(pem));
        ASSERT_EQ(made.exitCode, 0) << made.err;
        const ProgramResult encoded = Patchctl(
            "config encode", RealmConfig(server_->Url("/news.html"), server_->Url("/list.txt")) + made.out);
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        install_.Write("Config.ini", encoded.out);
    }
    // Publishes the archive `bytes` as `archive` as the operator does, with `options` (a signed list's
    // serial goes up by one each time).
    void Publish(const std::string& archive, const std::string& bytes, const std::string& options) {
        ServeArchive(archive, bytes);
        const ProgramResult r = Operator("publish " + Quoted(content_ / "list.txt") + " " +
                                         Quoted(content_ / ("patches/" + archive)) + " " +
                                         server_->Url("/patches/" + archive) + " " + options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    std::string InstalledBytes(const std::string& name) const {
        return Installed(name) ? ReadFileBytes(install_ / name) : "(none)";
    }
    // `patchctl update` as words, for a run started in the background.
    std::vector<std::string> UpdateWords() const {
        std::vector<std::string> words = Edition().Words();
        words.insert(words.end(), {"update", install_.Path()});
        return words;
    }

    // A patch list row: five fields, each ended by a TAB, then the SHA-256 if there is one.
    std::string Row(int id, const std::string& archive, int size, const std::string& run, int group,
                    const std::string& sha256 = "") const {
        return std::to_string(id) + "\t" + server_->Url("/patches/" + archive) + "\t" + std::to_string(size) +
               "\t" + run + "\t" + std::to_string(group) + "\t" + sha256 + "\r\n";
    }
    void ServeList(const std::string& text) { content_.Write("list.txt", text); }
    void ServeArchive(const std::string& name, const std::string& bytes) {
        std::filesystem::create_directories(content_ / "patches");
        content_.Write("patches/" + name, bytes);
    }

    bool Installed(const std::string& name) const { return std::filesystem::exists(install_ / name); }
    std::filesystem::path Stored(const std::string& segment) const {
        return Edition().StoredArchive(install_.Path(), segment);
    }
    std::filesystem::path Resume(const std::string& segment) const {
        return Edition().ResumeState(install_.Path(), segment);
    }
    std::string Ledger() const {
        return Installed("tqm_patch.ini") ? ReadFileBytes(install_ / "tqm_patch.ini") : "";
    }
    std::string Requests() const { return ReadFileBytes((server_->StateDir() / "access.log").string()); }

    TempDir content_;
    TempDir install_;
    std::unique_ptr<NginxServer> server_;
};

} // namespace pc::test
