// The installation lock: one holder at a time, released with its holder however that ends, and only ever
// held by a user who may write the installation.
#include "framework/install_lock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>

namespace {

namespace fs = std::filesystem;

using pc::TInstallationLock;
using pc::test::TempDir;

TEST(InstallationLock, OneHolderAtATimeAndOnlyItsFileLeftBehind) {
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
    // The lock file stays, readable and writable by its owner only.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        ++entries;
        EXPECT_EQ(entry.path().filename(), pc::kInstallationLockFileName);
    }
    EXPECT_EQ(entries, 1u);
    struct stat st {};
    ASSERT_EQ(::lstat((dir / pc::kInstallationLockFileName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Runs `body` in a child process and reports its one-letter answer; the child stays until `Finish`.
class Child {
public:
    explicit Child(const std::function<char()>& body) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const char answer = body();
            (void)!::write(ready[1], &answer, 1);
            ::pause();
            ::_exit(0);
        }
        if (pid_ > 0 && ::read(ready[0], &answer_, 1) != 1)
            answer_ = '?';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Finish(); }
    char Answer() const { return answer_; }
    void Finish() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    char answer_ = 0;
};

// A holder that is killed cannot unlock; the system does it.
TEST(InstallationLock, AKilledHolderReleasesIt) {
    TempDir dir;
    Child holder([&] {
        static TInstallationLock held(dir.Path()); // kept until the child is killed
        return held.TryAcquire() ? 'y' : 'n';
    });
    EXPECT_EQ(holder.Answer(), 'y');
    TInstallationLock mine(dir.Path());
    EXPECT_FALSE(mine.TryAcquire());
    holder.Finish();
    EXPECT_TRUE(mine.TryAcquire());
}

// What a user who may only read the installation can do to it: lock the directory itself (what the lock
// once was) and open or lock the lock file by any means a reader has. None of it keeps an update waiting.
// As root the reader is a real other user; otherwise it is this user through read-only descriptors.
TEST(InstallationLock, AReaderCannotHoldIt) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    {
        TInstallationLock made(dir.Path()); // the file exists, as after any earlier update
        ASSERT_TRUE(made.TryAcquire());
    }
    const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    struct Case {
        const char* what;
        std::function<bool(const std::string&, const std::string&)> attempt; // directory, lock file
    } cases[] = {
        {"flock on the directory opened read-only",
         [](const std::string& directory, const std::string&) {
             const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
             return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
         }},
        {"flock on the lock file opened read-only",
         [](const std::string&, const std::string& file) {
             const int fd = ::open(file.c_str(), O_RDONLY);
             return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
         }},
        {"a read lock on the lock file",
         [](const std::string&, const std::string& file) {
             const int fd = ::open(file.c_str(), O_RDONLY);
             struct flock whole {};
             whole.l_type = F_RDLCK;
             whole.l_whence = SEEK_SET;
             return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &whole) == 0;
         }},
        {"opening the lock file for writing",
         [](const std::string&, const std::string& file) { return ::open(file.c_str(), O_WRONLY) >= 0; }},
    };
    const std::string file = dir / pc::kInstallationLockFileName;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A read lock taken by the file's own user would keep a writer out; another user cannot open it.
        if (!nobody && std::string(c.what) == "a read lock on the lock file")
            continue;
        Child reader([&] {
            if (nobody && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0))
                return 'x';
            return c.attempt(dir.Path(), file) ? 'y' : 'n';
        });
        ASSERT_NE(reader.Answer(), 'x');
        if (nobody && c.what != cases[0].what) {
            EXPECT_EQ(reader.Answer(), 'n') << "another user reached the 0600 lock file";
        }
        TInstallationLock update(dir.Path());
        EXPECT_TRUE(update.TryAcquire());
    }
    // A writer in another process does keep it.
    Child writer([&] {
        static TInstallationLock held(dir.Path());
        return held.TryAcquire() ? 'y' : 'n';
    });
    ASSERT_EQ(writer.Answer(), 'y');
    TInstallationLock update(dir.Path());
    EXPECT_FALSE(update.TryAcquire());
}

// Whoever may write the installation could put a link, a pipe or a folder where the lock file goes:
// none is followed or waited on, nothing it leads to is made or changed, and no update runs unguarded.
TEST(InstallationLock, ALockFileThatIsNotARegularFileEndsTheRun) {
    TempDir dir, elsewhere;
    const std::string lockFile = dir / pc::kInstallationLockFileName;
    const std::function<void()> makers[] = {
        [&] { fs::create_symlink(elsewhere / "target", lockFile); }, // dangling
        [&] { fs::create_symlink(elsewhere.Path(), lockFile); },
        [&] { ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0); },
        [&] { fs::create_directory(lockFile); },
    };
    for (const auto& make : makers) {
        fs::remove(lockFile);
        make();
        TInstallationLock lock(dir.Path());
        try {
            lock.TryAcquire();
            ADD_FAILURE() << "taken on " << lockFile;
        } catch (const pc::ENotARegularLock& e) {
            EXPECT_EQ(e.Message(), "The update lock .tqm_lock is not a regular file");
        }
        EXPECT_FALSE(fs::exists(elsewhere / "target"));
    }
}

// A file renamed over the lock file while one update holds it and another waits on it: the waiting one
// does not count the old file's lock as its own once it is free, while a third holds the new file.
TEST(InstallationLock, AFileSwappedInItsPlaceIsLockedAnew) {
    TempDir dir;
    const std::string lockFile = dir / pc::kInstallationLockFileName;
    auto first = std::make_unique<TInstallationLock>(dir.Path());
    ASSERT_TRUE(first->TryAcquire());
    TInstallationLock waiting(dir.Path());
    EXPECT_FALSE(waiting.TryAcquire());
    std::ofstream(dir / "swapped", std::ios::binary) << "";
    fs::rename(dir / "swapped", lockFile);
    TInstallationLock third(dir.Path());
    ASSERT_TRUE(third.TryAcquire());
    first.reset();
    EXPECT_FALSE(waiting.TryAcquire()) << "two updates at once";
}

} // namespace
