// The file-system helpers of extraction.
#include "archive/extract_files.h"
#include "framework/exceptions.h"
#ifndef _WIN32
#include "framework/posix/removable_media.h"
#endif

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
            const auto candidate = fs::temp_directory_path() / ("pc_extract_" + std::to_string(std::rand()));
            std::error_code error;
            if (fs::create_directory(candidate, error))
                path_ = candidate.string();
        }
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CreateDirectoryChain, CreatesWhatIsMissing) {
    TempDir dir;
    EXPECT_TRUE(pc::CreateDirectoryChain(dir / "a/b/c/"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(pc::CreateDirectoryChain(dir / "a/b"));      // existing
    EXPECT_TRUE(pc::CreateDirectoryChain(dir.path() + "/")); // the base itself
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(pc::CreateDirectoryChain(dir / "file/sub/"));
    EXPECT_FALSE(pc::CreateDirectoryChain(dir / "file"));
    EXPECT_THROW(pc::CreateDirectoryChain(""), pc::Exception);

    // Relative paths work from the current directory.
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_TRUE(pc::CreateDirectoryChain("rel/x/"));
    fs::current_path(previous);
    EXPECT_TRUE(fs::is_directory(dir / "rel/x"));
}

#ifdef _WIN32
// No zone can be set on Windows; the tests that need one are skipped and the others run in the local one.
class TimeZone {
public:
    explicit TimeZone(const char*) {}
};
#else
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone() {
        if (old_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", old_.c_str(), 1);
        tzset();
    }

private:
    std::string old_;
};
#endif

std::uint16_t DosDate(int y, int m, int d) {
    return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
std::uint16_t DosTime(int h, int mi, int s) {
    return static_cast<std::uint16_t>((h << 11) | (mi << 5) | (s / 2));
}

TEST(DosTimes, TakenAsLocalTime) {
#ifdef _WIN32
    GTEST_SKIP() << "the C library of Windows takes no POSIX TZ rules, so no zone can be set for the test";
#else
    {
        TimeZone utc("UTC");
        EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 3, 15), DosTime(12, 30, 44)), std::time_t{1710505844});
    }
    {
        // Central Europe: winter one hour, summer two hours ahead of UTC.
        TimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 1, 15), DosTime(12, 0, 0)), std::time_t{1705316400});
        EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 7, 15), DosTime(12, 0, 0)), std::time_t{1721037600});
    }
    {
        // Asked again in another zone, and minutes apart within one hour, the offset is the zone's.
        TimeZone tokyo("JST-9");
        EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 7, 15), DosTime(12, 0, 0)), std::time_t{1721012400});
        EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 7, 15), DosTime(12, 59, 58)),
                  std::time_t{1721012400 + 59 * 60 + 58});
    }
    {
        TimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
        for (int round = 0; round < 2; ++round) // the second round is answered from what the first learnt
            EXPECT_EQ(pc::DosDateTimeToTime(DosDate(2024, 7, 15), DosTime(12, 30, 0)),
                      std::time_t{1721037600 + 30 * 60});
    }
    TimeZone utc("UTC");
    EXPECT_FALSE(pc::DosDateTimeToTime(0, 0)); // month and day 0
    EXPECT_FALSE(pc::DosDateTimeToTime(DosDate(2023, 2, 29), 0));
    EXPECT_TRUE(pc::DosDateTimeToTime(DosDate(2024, 2, 29), 0));
    EXPECT_FALSE(pc::DosDateTimeToTime(DosDate(2024, 13, 1), 0));
    EXPECT_FALSE(pc::DosDateTimeToTime(DosDate(2024, 1, 1), DosTime(24, 0, 0)));
    EXPECT_FALSE(pc::DosDateTimeToTime(DosDate(2024, 1, 1), DosTime(0, 60, 0)));
#endif
}

TEST(DosTimes, FileAgeRoundTrips) {
    TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    TempDir dir;
    const std::string path = dir / "f";
    WriteFile(path, "x");
    const std::uint16_t date = DosDate(2021, 6, 30), time = DosTime(23, 59, 58);
    const std::time_t when = *pc::DosDateTimeToTime(date, time);
    pc::TZAOutputFile file;
    ASSERT_TRUE(file.Create(path));
    ASSERT_TRUE(file.SetLastWriteTime(when));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(pc::FileAgeDos(path), static_cast<std::int32_t>((std::uint32_t{date} << 16) | time));
    EXPECT_EQ(pc::FileAgeDos(dir / "missing"), -1);
    // Before 1980 there is no DOS form.
    ASSERT_TRUE(file.Create(path));
    ASSERT_TRUE(file.SetLastWriteTime(86400));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(pc::FileAgeDos(path), -1);
}

TEST(ExtractedFileMode, FromHostAttributesTheReplacedFileAndTheUmask) {
    constexpr std::uint16_t kUnix = 3 << 8 | 30, kDos = 0 << 8 | 20;
    const std::optional<std::uint32_t> none;
    struct Case {
        const char* what;
        std::uint16_t madeBy;
        std::uint32_t attr;
        std::optional<std::uint32_t> replaced;
        std::uint32_t umask;
        std::uint32_t mode;
    } cases[] = {
        {"not from Unix", kDos, 0x20, none, 022, 0644},
        {"not from Unix, read-only", kDos, 0x21, none, 022, 0444},
        {"Unix permissions", kUnix, 0100750u << 16, none, 022, 0750},
        {"Unix, setuid, setgid and sticky dropped", kUnix, 0107755u << 16, none, 022, 0755},
        {"Unix, read-only attribute too", kUnix, (0100664u << 16) | 0x01, none, 022, 0444},
        {"Unix, bare permissions", kUnix, 0600u << 16, none, 022, 0600},
        {"Unix without a stored mode", kUnix, 0x20, none, 022, 0644},
        {"Unix symbolic link: an ordinary file", kUnix, 0120777u << 16, none, 022, 0644},
        {"Unix character device: an ordinary file", kUnix, 0020666u << 16, none, 022, 0644},
        {"Unix pipe: an ordinary file", kUnix, 0010666u << 16, none, 022, 0644},
        {"Unix mode ignored when not made on Unix", kDos, 0100777u << 16, none, 022, 0644},
        {"not from Unix over a program: stays executable", kDos, 0x20, 0755, 022, 0755},
        {"not from Unix, read-only, over a program", kDos, 0x21, 0755, 022, 0555},
        {"not from Unix over a private file", kDos, 0x20, 0600, 022, 0600},
        {"not from Unix over a read-only file: the owner may write again", kDos, 0x20, 0444, 022, 0644},
        {"Unix without a stored mode over a program", kUnix, 0x20, 0750, 022, 0750},
        {"Unix permissions win over the replaced file's", kUnix, 0100640u << 16, 0755, 022, 0640},
        // The umask comes off every mode an archive brings, as it does off the player's own new files.
        {"0777 under umask 022", kUnix, 0100777u << 16, none, 022, 0755},
        {"0666 under umask 022", kUnix, 0100666u << 16, none, 022, 0644},
        {"setuid 04777 under umask 022", kUnix, 0104777u << 16, none, 022, 0755},
        {"bare 0777 under umask 022", kUnix, 0777u << 16, none, 022, 0755},
        {"0777 under umask 077", kUnix, 0100777u << 16, none, 077, 0700},
        {"0666 under umask 077", kUnix, 0100666u << 16, none, 077, 0600},
        {"setuid 04755 under umask 077", kUnix, 0104755u << 16, none, 077, 0700},
        {"0777 over a program under umask 077", kUnix, 0100777u << 16, 0755, 077, 0700},
        {"0777 under umask 002", kUnix, 0100777u << 16, none, 002, 0775},
        {"new file not from Unix under umask 077", kDos, 0x20, none, 077, 0600},
        {"read-only 0444 under umask 077", kUnix, (0100444u << 16) | 0x01, none, 077, 0400},
        // A file that is there keeps its own permissions: the mask is for what the archive brings.
        {"not from Unix over a program under umask 077", kDos, 0x20, 0755, 077, 0755},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::ExtractedFileMode(c.madeBy, c.attr, c.replaced, c.umask), c.mode) << c.what;
}

#ifndef _WIN32
// The mask is the process's umask as the program started with it.
TEST(ExtractedFileMode, TheMaskIsTheProcessUmask) {
    const mode_t mask = ::umask(022); // the tests run on one thread here
    ::umask(mask);
    EXPECT_EQ(pc::fsys::CreationMask(), static_cast<std::uint32_t>(mask));
    EXPECT_EQ(pc::ExtractedFileMode(3 << 8, 0100777u << 16), 0777u & ~static_cast<std::uint32_t>(mask));
}
#endif

// Whatever an entry is called, its file never has a temporary's name; a temporary always has one.
TEST(OutputFile, NoEntryNameIsATemporarysName) {
    // Names an entry can give a file: none of them is a temporary.
    for (const char* name :
         {".x.pc-part", ".pc-part", "pc-part", ".pc-part.0123456789abcdef", "pc-part.0123456789abcdef",
          "x.pc-part", "..x.pc-part", ".pc-part~1", "PC-PAR~1"})
        EXPECT_FALSE(pc::fsys::IsTemporaryName(name)) << name;
    for (const auto method : {pc::fsys::TTemporaryMethod::System, pc::fsys::TTemporaryMethod::Named}) {
        pc::fsys::SetTemporaryMethod(method);
        TempDir dir;
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(dir / "x"));
        const std::string temporary = file.TemporaryPath();
        if (!temporary.empty()) {
            const std::string name = temporary.substr(temporary.find_last_of(pc::fsys::NameSeparators()) + 1);
            EXPECT_TRUE(pc::fsys::IsTemporaryName(name)) << name;
        }
        EXPECT_EQ(file.Write("x", 1), 1);
        ASSERT_TRUE(file.Commit());
    }
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
}

TEST(RemovableMedia, ReadFromTheDeviceTree) {
#ifdef _WIN32
    GTEST_SKIP() << "the device tree under /sys is Linux's";
#else
    // A made-up device tree: 8:0 a fixed disk with partition 8:1, 8:16 a removable disk with 8:17.
    TempDir sys;
    auto device = [&](const std::string& dir, const char* removable) {
        fs::create_directories(sys / dir);
        if (removable)
            WriteFile(sys / (dir + "/removable"), std::string(removable) + "\n");
        else
            WriteFile(sys / (dir + "/partition"), "1\n");
    };
    device("devices/sda", "0");
    device("devices/sda/sda1", nullptr);
    device("devices/sdb", "1");
    device("devices/sdb/sdb1", nullptr);
    fs::create_directories(sys / "dev/block");
    fs::create_directory_symlink("../../devices/sda", sys / "dev/block/8:0");
    fs::create_directory_symlink("../../devices/sda/sda1", sys / "dev/block/8:1");
    fs::create_directory_symlink("../../devices/sdb", sys / "dev/block/8:16");
    fs::create_directory_symlink("../../devices/sdb/sdb1", sys / "dev/block/8:17");

    EXPECT_FALSE(pc::posix::IsRemovableBlockDevice(8, 0, sys.path()));
    EXPECT_FALSE(pc::posix::IsRemovableBlockDevice(8, 1, sys.path()));
    EXPECT_TRUE(pc::posix::IsRemovableBlockDevice(8, 16, sys.path()));
    EXPECT_TRUE(pc::posix::IsRemovableBlockDevice(8, 17, sys.path()));
    EXPECT_FALSE(pc::posix::IsRemovableBlockDevice(9, 9, sys.path())); // unknown: not removable
    EXPECT_FALSE(pc::posix::IsRemovableBlockDevice(8, 16, sys / "nowhere"));
#endif
}

TEST(OutputFile, ReplacesASymbolicLinkInsteadOfFollowingIt) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links are a POSIX matter here";
#else
    TempDir dir;
    WriteFile(dir / "outside", "keep");
    fs::create_symlink(dir / "outside", dir / "link");
    fs::create_symlink(dir / "nothing-here", dir / "dangling");
    fs::create_directory(dir / "folder");
    fs::create_directory_symlink(dir / "folder", dir / "folder-link");
    for (const char* name : {"link", "dangling"}) {
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(dir / name)) << name;
        EXPECT_EQ(file.Write("new", 3), 3);
        ASSERT_TRUE(file.Commit()) << name;
        EXPECT_FALSE(fs::is_symlink(dir / name)) << name;
    }
    std::ifstream in(dir / "outside");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_FALSE(fs::exists(dir / "nothing-here"));
    // A directory, or a link to one, is no file to replace.
    for (const char* name : {"folder", "folder-link"}) {
        pc::TZAOutputFile file;
        EXPECT_FALSE(file.Create(dir / name)) << name;
    }
    EXPECT_TRUE(fs::is_symlink(dir / "folder-link"));
#endif
}

// Unnamed (Linux) or under a temporary's name, the new file reaches the target only when committed; a
// temporary that is dropped leaves nothing.
class OutputFileMethod : public ::testing::TestWithParam<pc::fsys::TTemporaryMethod> {
protected:
    void SetUp() override { pc::fsys::SetTemporaryMethod(GetParam()); }
    void TearDown() override { pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System); }
};

TEST_P(OutputFileMethod, NothingReachesTheTargetUntilCommitted) {
#ifdef _WIN32
    GTEST_SKIP() << "permission bits are a POSIX matter here";
#else
    TempDir dir;
    const std::string target = dir / "data.bin";
    WriteFile(target, "old");
    ::chmod(target.c_str(), 0640);
    auto names = [&] {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    };
    {
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(target));
        EXPECT_EQ(file.ReplacedMode(), std::optional<std::uint32_t>(0640));
        EXPECT_EQ(file.Write("new", 3), 3);
        EXPECT_FALSE(file.OutOfSpace());
        const std::vector<std::string> during = names();
        if (GetParam() == pc::fsys::TTemporaryMethod::Named) {
            ASSERT_EQ(during.size(), 2u);
            EXPECT_TRUE(pc::fsys::IsTemporaryName(during[0])) << during[0];
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file.TemporaryPath())));
        } else {
            EXPECT_EQ(during, std::vector<std::string>{"data.bin"}) << "an unnamed file shows no name";
        }
        EXPECT_EQ(ReadFileBytes(target), "old");
    } // dropped without Commit: the temporary goes, the target stays
    EXPECT_EQ(names(), std::vector<std::string>{"data.bin"});
    EXPECT_EQ(ReadFileBytes(target), "old");

    pc::TZAOutputFile file;
    ASSERT_TRUE(file.Create(target));
    EXPECT_EQ(file.Write("new", 3), 3);
    ASSERT_TRUE(file.SetEntryAttributes(3 << 8, 0100600u << 16));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(names(), std::vector<std::string>{"data.bin"});
    EXPECT_EQ(ReadFileBytes(target), "new");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif
}

INSTANTIATE_TEST_SUITE_P(BothWays, OutputFileMethod,
                         ::testing::Values(pc::fsys::TTemporaryMethod::System,
                                           pc::fsys::TTemporaryMethod::Named),
                         [](const auto& info) {
                             return info.param == pc::fsys::TTemporaryMethod::System ? "Unnamed" : "Named";
                         });

// What killed runs left is removed in every directory below the installation, whatever patch it was
// for; everything else stays, and no link leads the removal out of the installation.
TEST(Leftovers, TemporariesAreRemovedWhereverTheyLie) {
    TempDir dir, outside;
    fs::create_directories(dir / "game/data/deep");
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::Named);
    std::vector<std::string> leftovers;
    for (const char* target : {"game/a.bin", "game/data/b.bin", "game/data/deep/c.bin"}) {
        std::string name;
        pc::fsys::TFile file = pc::fsys::CreateTemporaryBeside(dir / target, name);
        ASSERT_TRUE(file.Valid()) << target;
        leftovers.push_back(name);
    } // closed, never placed: what a killed run leaves
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
    const std::vector<std::string> kept = {"game/.x.pc-part", "game/pc-part.0123456789abcdef",
                                           "game/data/.pc-part", "game/data/deep/x"};
    for (const std::string& name : kept)
        WriteFile(dir / name, "a file of the game");
#ifndef _WIN32
    // A named temporary of another directory, reached through a link in the installation, stays.
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::Named);
    std::string beyond;
    ASSERT_TRUE(pc::fsys::CreateTemporaryBeside(outside / "y", beyond).Valid());
    pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
    fs::create_directory_symlink(outside.path(), dir / "game/link");
#endif

    pc::fsys::RemoveLeftovers(dir / "game");
    for (const std::string& name : leftovers)
        EXPECT_FALSE(fs::exists(fs::symlink_status(name))) << name;
    for (const std::string& name : kept)
        EXPECT_EQ(ReadFileBytes(dir / name), "a file of the game") << name;
#ifndef _WIN32
    EXPECT_TRUE(fs::exists(beyond)) << "removed through a link that leads out";
#endif
}

} // namespace
