#include "framework/exceptions.h"
#include "framework/output_file.h"
#include "tests/support/file_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using pc::TOutputFile;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Runs `action`, expects an EInOutError and returns it.
pc::EInOutError ExpectInOutError(const std::function<void()>& action) {
    try {
        action();
    } catch (const pc::EInOutError& e) {
        return e;
    }
    ADD_FAILURE() << "no EInOutError raised";
    return pc::EInOutError("", 0);
}

TEST(InOutErrors, MessagesByCode) {
    struct Case {
        int code;
        const char* message;
    } cases[] = {
        {1, "I/O error 1"},
        {2, "File not found"},
        {3, "Invalid filename"},
        {4, "Too many open files"},
        {5, "File access denied"},
        {28, "I/O error 28"},
        {100, "Read beyond end of file"},
        {101, "Disk full"},
        {103, "I/O error 103"},
        {106, "Invalid numeric input"},
        {32, "I/O error 32"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::InOutErrorMessage(c.code), c.message) << c.code;
}

TEST(InOutErrors, SystemErrorsMapOntoTheCodes) {
    struct Case {
        int err;
        int code;
    } cases[] = {
        {ENOENT, 2}, {ENOTDIR, 3},  {EMFILE, 4},   {ENFILE, 4},      {EACCES, 5}, {EPERM, 5},
        {EROFS, 5},  {ENOSPC, 101}, {EDQUOT, 101}, {EISDIR, EISDIR}, {EIO, EIO},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pc::InOutCodeFromSystemError(c.err), c.code) << c.err;
}

TEST(OutputFile, CreatesWritesAndCloses) {
    TempDir dir;
    const std::string path = dir.Write("patch.zip", "old content that must go");
    TOutputFile file;
    pc::CreateOutputFile(file, path);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(path), "");
    pc::WriteOutputBytes(file, "PK\3\4", 4);
    pc::WriteOutputBytes(file, "", 0); // a count of 0 writes nothing and succeeds
    pc::WriteOutputBytes(file, nullptr, 0);
    pc::WriteOutputBytes(file, "rest", 4);
    pc::CloseOutputFile(file);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(path), std::string("PK\3\4rest"));
}

TEST(OutputFile, CreateFailuresCarryTheirCodes) {
    TempDir dir;
    const std::string plain = dir.Write("plain", "x");
    std::filesystem::create_directory(dir / "folder");
    struct Case {
        std::string path;
        int code;
        std::string message;
    } cases[] = {
        {dir / "missing/patch.zip", 3, "Invalid filename"},
        {plain + "/patch.zip", 3, "Invalid filename"},
        {dir / "folder", EISDIR, "I/O error " + std::to_string(EISDIR)},
    };
    for (const auto& c : cases) {
        TOutputFile file;
        const int before = OpenDescriptors();
        const auto e = ExpectInOutError([&] { pc::CreateOutputFile(file, c.path); });
        EXPECT_EQ(e.ErrorCode, c.code) << c.path;
        EXPECT_EQ(e.Message(), c.message) << c.path;
        EXPECT_EQ(e.Path, c.path) << "the log names the file after the error box";
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST(OutputFile, TooManyOpenFiles) {
    TempDir dir;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> extra;
    for (int fd; (fd = ::dup(0)) >= 0;)
        extra.push_back(fd);
    TOutputFile file;
    const auto e = ExpectInOutError([&] { pc::CreateOutputFile(file, dir / "patch.zip"); });
    for (int fd : extra)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(e.ErrorCode, 4);
    EXPECT_EQ(e.Message(), "Too many open files");
}

TEST(OutputFile, WriteAndCloseOnAFileThatIsNotOpen) {
    TOutputFile file;
    auto e = ExpectInOutError([&] { pc::WriteOutputBytes(file, "x", 1); });
    EXPECT_EQ(e.ErrorCode, 103);
    EXPECT_EQ(e.Message(), "I/O error 103");
    e = ExpectInOutError([&] { pc::CloseOutputFile(file); });
    EXPECT_EQ(e.ErrorCode, 103);
}

TEST(OutputFile, NoSpaceIsDiskFullAndClosesTheFile) {
    TOutputFile file;
    const int before = OpenDescriptors();
    pc::CreateOutputFile(file, "/dev/full");
    const auto e = ExpectInOutError([&] { pc::WriteOutputBytes(file, "data", 4); });
    EXPECT_EQ(e.ErrorCode, 101);
    EXPECT_EQ(e.Message(), "Disk full");
    EXPECT_EQ(e.Path, "/dev/full");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(OutputFile, ShortWriteIsDiskFullAndKeepsTheBytesWritten) {
    TempDir dir;
    const std::string path = dir / "patch.zip";
    TOutputFile file;
    const int before = OpenDescriptors();
    pc::CreateOutputFile(file, path);
    pc::WriteOutputBytes(file, "0123456789", 10);
    {
        pc::test::FileSizeLimit full(16);
        const auto e = ExpectInOutError([&] { pc::WriteOutputBytes(file, "abcdefghij", 10); });
        EXPECT_EQ(e.ErrorCode, 101);
        EXPECT_EQ(e.Message(), "Disk full");
    }
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(ReadFileBytes(path), "0123456789abcdef");
}

TEST(OutputFile, CreateOnAnOpenFileClosesItFirst) {
    TempDir dir;
    TOutputFile file;
    const int before = OpenDescriptors();
    pc::CreateOutputFile(file, dir / "a");
    pc::WriteOutputBytes(file, "a", 1);
    pc::CreateOutputFile(file, dir / "b");
    EXPECT_EQ(OpenDescriptors(), before + 1);
    pc::WriteOutputBytes(file, "b", 1);
    pc::CloseOutputFile(file);
    EXPECT_EQ(ReadFileBytes(dir / "a"), "a");
    EXPECT_EQ(ReadFileBytes(dir / "b"), "b");
}

TEST(OutputFile, ContinuingWritesAfterTheKeptBytesAndCutsTheRest) {
    TempDir dir;
    const std::string path = dir.Write("patch.zip", "0123456789");
    TOutputFile file;
    pc::ContinueOutputFile(file, path, 4);
    pc::WriteOutputBytes(file, "ab", 2);
    pc::CloseOutputFile(file);
    EXPECT_EQ(ReadFileBytes(path), "0123ab");
    const auto e = ExpectInOutError([&] { pc::ContinueOutputFile(file, dir / "missing.zip", 0); });
    EXPECT_EQ(e.Message(), "File not found");
    EXPECT_FALSE(file.IsOpen());
}

TEST(OutputFile, NeverOpensThroughALink) {
    TempDir dir;
    const std::string target = dir.Write("Config.ini", "keep me");
    const std::string link = dir / "patch.zip";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    TOutputFile file;
    EXPECT_EQ(ExpectInOutError([&] { pc::CreateOutputFile(file, link); }).ErrorCode, ELOOP);
    EXPECT_EQ(ExpectInOutError([&] { pc::ContinueOutputFile(file, link, 0); }).ErrorCode, ELOOP);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(target), "keep me");
}

TEST(OutputFile, AnErrorPassingThroughClosesTheFile) {
    TempDir dir;
    const int before = OpenDescriptors();
    try {
        TOutputFile file;
        pc::CreateOutputFile(file, dir / "patch.zip");
        pc::WriteOutputBytes(file, "part", 4);
        throw pc::Exception("connection lost");
    } catch (const pc::Exception&) {
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(ReadFileBytes(dir / "patch.zip"), "part");
}

} // namespace
