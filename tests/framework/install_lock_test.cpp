// The installation lock: one holder at a time, released with its holder however that ends, no file left.
#include "framework/install_lock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using pc::TInstallationLock;
using pc::test::TempDir;

TEST(InstallationLock, OneHolderAtATimeAndNothingLeftBehind) {
    TempDir dir;
    {
        TInstallationLock first(dir.Path());
        ASSERT_TRUE(first.TryAcquire());
        EXPECT_TRUE(first.TryAcquire()) << "the holder keeps it";
        TInstallationLock second(dir.Path());
        EXPECT_FALSE(second.TryAcquire());
        TempDir other;
        TInstallationLock otherInstallation(other.Path());
        EXPECT_TRUE(otherInstallation.TryAcquire()) << "another installation is not held";
    }
    TInstallationLock after(dir.Path());
    EXPECT_TRUE(after.TryAcquire()) << "released when its holder went";
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

// A holder that is killed cannot unlock; the system does it.
TEST(InstallationLock, AKilledHolderReleasesIt) {
    TempDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TInstallationLock held(dir.Path());
        const char answer = held.TryAcquire() ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(answer, 'y');
    TInstallationLock mine(dir.Path());
    EXPECT_FALSE(mine.TryAcquire());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.TryAcquire());
}

} // namespace
