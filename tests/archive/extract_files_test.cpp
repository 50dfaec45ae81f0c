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
#include <iterator>
#include <optional>

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

TEST(ExtractedFileMode, FromHostAttributesAndTheReplacedFile) {
    constexpr std::uint16_t kUnix = 3 << 8 | 30, kDos = 0 << 8 | 20;
    const std::optional<std::uint32_t> none;
    struct Case {
        const char* what;
        std::uint16_t madeBy;
        std::uint32_t attr;
        std::optional<std::uint32_t> replaced;
        std::uint32_t mode;
    } cases[] = {
        {"not from Unix", kDos, 0x20, none, 0644},
        {"not from Unix, read-only", kDos, 0x21, none, 0444},
        {"Unix permissions", kUnix, 0100750u << 16, none, 0750},
        {"Unix, setuid, setgid and sticky dropped", kUnix, 0107755u << 16, none, 0755},
        {"Unix, read-only attribute too", kUnix, (0100664u << 16) | 0x01, none, 0444},
        {"Unix, bare permissions", kUnix, 0600u << 16, none, 0600},
        {"Unix without a stored mode", kUnix, 0x20, none, 0644},
        {"Unix symbolic link: an ordinary file", kUnix, 0120777u << 16, none, 0644},
        {"Unix character device: an ordinary file", kUnix, 0020666u << 16, none, 0644},
        {"Unix pipe: an ordinary file", kUnix, 0010666u << 16, none, 0644},
        {"Unix mode ignored when not made on Unix", kDos, 0100777u << 16, none, 0644},
        {"not from Unix over a program: stays executable", kDos, 0x20, 0755, 0755},
        {"not from Unix, read-only, over a program", kDos, 0x21, 0755, 0555},
        {"not from Unix over a private file", kDos, 0x20, 0600, 0600},
        {"not from Unix over a read-only file: the owner may write again", kDos, 0x20, 0444, 0644},
        {"Unix without a stored mode over a program", kUnix, 0x20, 0750, 0750},
        {"Unix permissions win over the replaced file's", kUnix, 0100640u << 16, 0755, 0640},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::ExtractedFileMode(c.madeBy, c.attr, c.replaced), c.mode) << c.what;
}

TEST(OutputFile, TemporaryNamesAreHiddenBesideTheTargetAndFitOneName) {
    const std::string longName(250, 'n');
    // 250 bytes of two-byte characters, so that the cut falls inside one unless it steps back.
    std::string wide;
    for (int i = 0; i < 125; ++i)
        wide += "\xC3\xA9";
    struct Case {
        std::string target;
        std::string temporary;
    } cases[] = {
        {"/base/game.exe", "/base/.game.exe.pc-part"},
        {"/base/sub/dir/data.pak", "/base/sub/dir/.data.pak.pc-part"},
        {"relative", ".relative.pc-part"},
        {"/base/.hidden", "/base/..hidden.pc-part"},
        {"/base/.", "/base/...pc-part"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::TemporaryPathFor(c.target), c.temporary) << c.target;
    for (const std::string& name : {longName, wide, longName + "x"}) {
        const std::string temporary = pc::TemporaryPathFor("/base/" + name);
        const std::string file = temporary.substr(6);
        EXPECT_EQ(temporary.substr(0, 7), "/base/.");
        EXPECT_LE(file.size(), 255u);
        EXPECT_EQ(file.substr(file.size() - 8), ".pc-part");
        // Whole characters only: what is kept of the name is a prefix of it that ends on a boundary.
        const std::string kept = file.substr(1, file.size() - 1 - 8 - 9);
        EXPECT_EQ(name.compare(0, kept.size(), kept), 0);
        EXPECT_NE(static_cast<unsigned char>(name[kept.size()]) & 0xC0, 0x80u);
    }
    // Two long names that share their first part still get temporaries of their own.
    EXPECT_NE(pc::TemporaryPathFor("/b/" + longName), pc::TemporaryPathFor("/b/" + longName + "x"));
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

TEST(OutputFile, NothingReachesTheTargetUntilCommitted) {
#ifdef _WIN32
    GTEST_SKIP() << "permission bits and symbolic links are a POSIX matter here";
#else
    TempDir dir;
    const std::string target = dir / "data.bin";
    WriteFile(target, "old");
    ::chmod(target.c_str(), 0640);
    // A leftover temporary that is a link must be removed, not written through.
    WriteFile(dir / "elsewhere", "untouched");
    fs::create_symlink(dir / "elsewhere", pc::TemporaryPathFor(target));
    {
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(target));
        EXPECT_EQ(file.ReplacedMode(), std::optional<std::uint32_t>(0640));
        EXPECT_EQ(file.Write("new", 3), 3);
        EXPECT_FALSE(file.OutOfSpace());
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file.TemporaryPath())));
        std::ifstream before(target);
        std::string text;
        before >> text;
        EXPECT_EQ(text, "old");
    } // dropped without Commit: the temporary goes, the target stays
    EXPECT_FALSE(fs::exists(fs::symlink_status(pc::TemporaryPathFor(target))));
    std::ifstream kept(target), other(dir / "elsewhere");
    std::string text, untouched;
    kept >> text;
    other >> untouched;
    EXPECT_EQ(text, "old");
    EXPECT_EQ(untouched, "untouched");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
#endif
}

} // namespace
