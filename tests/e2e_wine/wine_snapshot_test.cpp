// patchctl.exe snapshot under Wine: the Windows edition's snapshot of a tree describes the same files as the
// Linux edition's, names beyond ASCII and files streamed through the archive writer included.
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using pc::test::ProgramResult;
using pc::test::ReadFileBytes;
using pc::test::RunProgram;
using pc::test::TempDir;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The manifest's file lines without their modes, which are the file system's (a Windows tree has no
// Unix permissions).
std::string FilesWithoutModes(const std::string& manifest) {
    std::istringstream lines(manifest);
    std::string line, files;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (number <= 2)
            continue; // the header, which names the archive and its SHA-256
        const auto size = line.find(' ');
        const auto mode = line.find(' ', size + 1);
        files += line.substr(0, mode) + line.substr(line.find(' ', mode + 1)) + "\n";
    }
    return files;
}

TEST(WineSnapshot, DescribesTheSameFilesAsTheLinuxEdition) {
    if (Env("PATCHCTL_EXE").empty() || !fs::exists(Env("PATCHCTL_EXE")))
        GTEST_SKIP() << "no patchctl.exe named by PATCHCTL_EXE: run me from the windows preset's ctest";
    TempDir dir;
    const std::string client = dir / "client";
    fs::create_directories(client + "/data/caf\xC3\xA9");
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream out(client + "/" + name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    write("data/caf\xC3\xA9/\xC3\xA4rger.txt", "umlauts\n");
    write("readme.txt", "read me\n");
    std::string large;
    for (int i = 0; large.size() < (6u << 20); ++i)
        large += "block " + std::to_string(i * 7919 % 10007) + " of the realm's packed data\n";
    write("data/large.pak", large);

    const ProgramResult windows = RunProgram(Quoted(Env("WINE_RUN")) + " " + Quoted(Env("WINE_PREFIX")) +
                                             " " + Quoted(Env("PATCHCTL_EXE")) + " snapshot " +
                                             Quoted(client) + " " + Quoted(dir / "windows"));
    ASSERT_EQ(windows.exitCode, 0) << windows.out << windows.err;
    const ProgramResult linux = RunProgram(Quoted(Env("LINUX_PATCHCTL")) + " snapshot " + Quoted(client) +
                                           " " + Quoted(dir / "linux"));
    ASSERT_EQ(linux.exitCode, 0) << linux.err;

    const std::string ours = ReadFileBytes(dir / "windows/client.manifest");
    EXPECT_EQ(FilesWithoutModes(ours), FilesWithoutModes(ReadFileBytes(dir / "linux/client.manifest")));
    EXPECT_NE(ours.find(" data/caf\xC3\xA9/\xC3\xA4rger.txt\n"), std::string::npos) << ours;
    // The archive unpacks with Info-ZIP to the very files.
    const ProgramResult unzipped =
        RunProgram("unzip -q " + Quoted(dir / "windows/client.zip") + " -d " + Quoted(dir / "unpacked"));
    EXPECT_EQ(unzipped.exitCode, 0) << unzipped.err;
    EXPECT_EQ(ReadFileBytes(dir / "unpacked/data/large.pak"), large);
    EXPECT_EQ(ReadFileBytes(dir / "unpacked/data/caf\xC3\xA9/\xC3\xA4rger.txt"), "umlauts\n");
}

} // namespace
