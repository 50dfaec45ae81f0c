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

#include <cstdlib>
#include <filesystem>
#include <fstream>

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
    file.Close();
    EXPECT_EQ(pc::FileAgeDos(path), static_cast<std::int32_t>((std::uint32_t{date} << 16) | time));
    EXPECT_EQ(pc::FileAgeDos(dir / "missing"), -1);
    // Before 1980 there is no DOS form.
    ASSERT_TRUE(file.Create(path));
    ASSERT_TRUE(file.SetLastWriteTime(86400));
    file.Close();
    EXPECT_EQ(pc::FileAgeDos(path), -1);
}

TEST(ExtractedFileMode, FromHostAndAttributes) {
    constexpr std::uint16_t kUnix = 3 << 8 | 30, kDos = 0 << 8 | 20;
    struct Case {
        const char* what;
        std::uint16_t madeBy;
        std::uint32_t attr;
        std::uint32_t mode;
    } cases[] = {
        {"not from Unix", kDos, 0x20, 0644},
        {"not from Unix, read-only", kDos, 0x21, 0444},
        {"Unix permissions", kUnix, 0100750u << 16, 0750},
        {"Unix, setuid, setgid and sticky dropped", kUnix, 0107755u << 16, 0755},
        {"Unix, read-only attribute too", kUnix, (0100664u << 16) | 0x01, 0444},
        {"Unix, bare permissions", kUnix, 0600u << 16, 0600},
        {"Unix without a stored mode", kUnix, 0x20, 0644},
        {"Unix symbolic link: an ordinary file", kUnix, 0120777u << 16, 0644},
        {"Unix character device: an ordinary file", kUnix, 0020666u << 16, 0644},
        {"Unix pipe: an ordinary file", kUnix, 0010666u << 16, 0644},
        {"Unix mode ignored when not made on Unix", kDos, 0100777u << 16, 0644},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::ExtractedFileMode(c.madeBy, c.attr), c.mode) << c.what;
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
    for (const char* name : {"link", "dangling"}) {
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(dir / name)) << name;
        EXPECT_EQ(file.Write("new", 3), 3);
        file.Close();
        EXPECT_FALSE(fs::is_symlink(dir / name)) << name;
    }
    std::ifstream in(dir / "outside");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_FALSE(fs::exists(dir / "nothing-here"));
#endif
}

} // namespace
