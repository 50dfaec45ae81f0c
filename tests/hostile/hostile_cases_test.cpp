// The generated hostile archives (make_hostile.py), each unpacked by patchctl extract as operators and the
// launcher unpack patches, with failures answered Ignore. Every case must end within its time, stay within
// its peak memory, write nothing outside the destination, and end as make_hostile.py documents.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pc::test::ChildResult;
using pc::test::RunChild;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Memory-backed space for outputs that are large or many, when the machine has it.
fs::path ScratchRoot(bool tmpfs) {
    if (tmpfs && fs::is_directory("/dev/shm"))
        return "/dev/shm";
    return fs::temp_directory_path();
}

fs::path MakeDir(const fs::path& root, const std::string& stem) {
    std::string pattern = (root / (stem + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern);
    return pattern;
}

struct Case {
    std::map<std::string, std::string> fields;
    std::string Get(const std::string& key) const {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

// "a:1|b:2" -> {a: 1, b: 2}; the value follows the last ':'.
std::map<std::string, long long> Pairs(const std::string& text) {
    std::map<std::string, long long> out;
    if (text.empty() || text == "-")
        return out;
    for (const std::string& item : Split(text, '|')) {
        const auto colon = item.rfind(':');
        out[item.substr(0, colon)] = std::stoll(item.substr(colon + 1));
    }
    return out;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

class HostileArchives : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cases_ = MakeDir(ScratchRoot(true), "pc-hostile-cases");
        const std::string command =
            "python3 '" PATCH_SOURCE_DIR "/tests/hostile/make_hostile.py' '" + cases_.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(cases_, ignored);
    }
    static fs::path cases_;
};
fs::path HostileArchives::cases_;

TEST_F(HostileArchives, EachEndsAsDocumentedWithinItsLimits) {
    std::ifstream list(cases_ / "cases");
    std::string line;
    int count = 0;
    std::map<std::string, double> durations; // of the cases run so far, for the relative bounds
    while (std::getline(list, line)) {
        Case c;
        for (const std::string& field : Split(line, '\t')) {
            const auto eq = field.find('=');
            c.fields[field.substr(0, eq)] = field.substr(eq + 1);
        }
        const std::string name = c.Get("name");
        // PC_HOSTILE_ONLY=a,b runs only those cases (and whatever their relative bounds need).
        if (const char* only = std::getenv("PC_HOSTILE_ONLY");
            only != nullptr && ("," + std::string(only) + ",").find("," + name + ",") == std::string::npos)
            continue;
        SCOPED_TRACE(name);
        ++count;

        const fs::path root = MakeDir(ScratchRoot(c.Get("tmpfs") == "1"), "pc-hostile-" + name);
        const fs::path dest = root / "base";
        fs::create_directory(dest);
        // What the installation holds before the patch: directories, and links among them.
        std::vector<fs::path> madeLinks;
        const bool withLinks = !c.Get("links").empty();
        for (const std::string& made : Split(c.Get("mkdirs"), '|'))
            fs::create_directories(dest / made);
        if (withLinks) {
            fs::create_directory(root / "victim");
            std::ofstream(root / "victim" / "pwned.txt") << "original";
        }
        for (const std::string& link : withLinks ? Split(c.Get("links"), '|') : std::vector<std::string>()) {
            const auto arrow = link.find('>');
            std::string target = link.substr(arrow + 1);
            if (target[0] == '@')
                target = (root / target.substr(1)).string();
            madeLinks.push_back(dest / link.substr(0, arrow));
            fs::create_symlink(target, madeLinks.back());
        }
        const long seconds = std::stol(c.Get("seconds")) * (kSanitized ? 4 : 1);
        const long rssMiB = std::stol(c.Get("rss")) * (kSanitized ? 6 : 1);
        const std::string archive = (cases_ / (name + ".zip")).string();
        const std::vector<std::string> command =
            c.Get("command") == "list" ? std::vector<std::string>{PATCHCTL_PATH, "list", archive}
                                       : std::vector<std::string>{PATCHCTL_PATH, "extract",      archive,
                                                                  dest.string(), "--on-failure", "ignore"};
        const ChildResult run =
            RunChild(command, root / "stdout", root / "stderr", std::chrono::seconds(seconds),
                     // A small quarantine keeps freed buffers from counting as live memory.
                     {"ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8"});
        const std::string err = ReadAll(root / "stderr");
        std::printf("  %-26s exit %d  %6.2f s  peak %5ld MiB\n", name.c_str(), run.exitCode, run.seconds,
                    run.peakKiB / 1024);

        EXPECT_FALSE(run.timedOut) << "still running after " << seconds << " s";
        EXPECT_EQ(run.exitCode, std::stoi(c.Get("exit"))) << err.substr(0, 2000);
        EXPECT_LE(run.peakKiB / 1024, rssMiB) << "peak memory";
        durations[name] = run.seconds;
        if (const std::string within = c.Get("within"); !within.empty()) {
            // A little slack for starting the process on a busy machine.
            const auto colon = within.rfind(':');
            const std::string other = within.substr(0, colon);
            ASSERT_TRUE(durations.count(other)) << other << " must come first";
            EXPECT_LE(run.seconds, std::stod(within.substr(colon + 1)) * durations[other] + 0.25)
                << "against " << other << "'s " << durations[other] << " s";
        }

        std::map<std::string, long long> files;
        long long directories = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dest)) {
            if (std::find(madeLinks.begin(), madeLinks.end(), entry.path()) != madeLinks.end())
                continue;
            EXPECT_FALSE(entry.is_symlink()) << entry.path();
            if (entry.is_regular_file())
                files[fs::relative(entry.path(), dest).string()] = static_cast<long long>(entry.file_size());
            else if (entry.is_directory())
                ++directories;
        }
        EXPECT_EQ(files, Pairs(c.Get("files")));
        if (const std::string dirs = c.Get("dirs"); !dirs.empty()) {
            EXPECT_EQ(directories, std::stoll(dirs));
        }
        for (const auto& [text, times] : Pairs(c.Get("stderr")))
            EXPECT_EQ(Occurrences(err, text), static_cast<std::size_t>(times)) << text;

        for (const auto& entry : fs::directory_iterator(root)) {
            const std::string leaf = entry.path().filename().string();
            EXPECT_TRUE(leaf == "base" || leaf == "stdout" || leaf == "stderr" ||
                        (withLinks && leaf == "victim"))
                << "written outside: " << leaf;
        }
        if (withLinks) {
            std::vector<std::string> victim;
            for (const auto& entry : fs::recursive_directory_iterator(root / "victim"))
                victim.push_back(entry.path().filename().string());
            EXPECT_EQ(victim, std::vector<std::string>{"pwned.txt"}) << "written through a link";
            EXPECT_EQ(ReadAll(root / "victim" / "pwned.txt"), "original") << "written through a link";
        }
        EXPECT_FALSE(fs::exists(cases_ / "outside")) << "an absolute name was followed";

        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    if (std::getenv("PC_HOSTILE_ONLY") == nullptr) {
        EXPECT_GE(count, 24);
    }
}

} // namespace
