// A disk too small for a patch is told before its bytes arrive: `patchctl update` against nginx, with the
// installation on a small tmpfs that the test mounts (root only; skipped elsewhere).
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"
#include "tests/support/client_fixture.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/update_fixtures.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::ProgramResult;
using pc::test::Quoted;
using pc::test::TempDir;
using pc::test::ZipBuilder;

constexpr long long kMiB = 1024 * 1024;

// A tmpfs of a given size mounted over a scratch directory, unmounted when the test ends.
class SmallDisk {
public:
    explicit SmallDisk(long long mebibytes) : path_(scratch_.Path()) {
        const std::string options = "size=" + std::to_string(mebibytes) + "m";
        if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0)
            mounted_ = true;
        else
            why_ = std::strerror(errno);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    ~SmallDisk() {
        if (mounted_)
            ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    const std::string& Path() const { return path_; }
    void Grow(long long mebibytes) const {
        const std::string options = "size=" + std::to_string(mebibytes) + "m";
        ASSERT_EQ(::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()), 0)
            << std::strerror(errno);
    }
    long long FreeMiB() const {
        struct statvfs st {};
        ::statvfs(path_.c_str(), &st);
        return static_cast<long long>(st.f_bavail * st.f_frsize) / kMiB;
    }

private:
    TempDir scratch_;
    std::string path_;
    bool mounted_ = false;
    std::string why_;
};

TEST(DiskSpace, ToldBeforeTheBytesArrive) {
    TempDir content;
    pc::test::NginxServer server(content.Path());
    // Content-Length is all the check looks at: a sparse file takes no room on the server's disk.
    fs::resize_file(content.Write("large.zip", ""), 70 * kMiB);
    // Small on the wire, 70 MiB on disk.
    content.Write("inflating.zip", ZipBuilder().Deflated("data.bin", std::string(70 * kMiB, '\0')).Build());
    // Four files of 12 MiB replaced by four of the same size: the disk gains nothing, and at any moment
    // holds one file twice.
    ZipBuilder replacing;
    for (int i = 0; i < 4; ++i)
        replacing.Deflated("part" + std::to_string(i) + ".bin", std::string(12 * kMiB, 'n'));
    content.Write("replacing.zip", replacing.Build());
    content.Write("news.html", "news");

    // A server that sends no Content-Length: the listed size stands in for it.
    pc::test::FaultServer unsized;

    struct Case {
        const char* what;
        std::string url;
        long long listedSize;
        bool existingParts; // the installation holds the four 12 MiB files before the run
        int exitCode;
        long long neededMiB; // 0: the patch is applied
    } cases[] = {
        {"the archive itself does not fit", server.Url("/large.zip"), 100, false, 1, 70 + 64},
        {"its listed size does not fit", unsized.Url("/chunked/1000"), 80 * kMiB, false, 1, 80 + 64},
        {"its files do not fit", server.Url("/inflating.zip"), 100, false, 1, 70 + 64},
        {"replaced files make room", server.Url("/replacing.zip"), 100, true, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmallDisk disk(128);
        if (!disk.Mounted())
            GTEST_SKIP() << "a tmpfs cannot be mounted here (" << disk.Why()
                         << "); the check needs a small file system of its own";
        const std::string dir = disk.Path();
        const ProgramResult encoded = Patchctl(
            "config encode", pc::test::RealmConfig(server.Url("/news.html"), server.Url("/list.txt")));
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        std::ofstream(dir + "Config.ini", std::ios::binary) << encoded.out;
        if (c.existingParts)
            for (int i = 0; i < 4; ++i)
                std::ofstream(dir + "part" + std::to_string(i) + ".bin", std::ios::binary)
                    << std::string(12 * kMiB, 'o');
        content.Write("list.txt", "1\t" + c.url + "\t" + std::to_string(c.listedSize) + "\t\t0\t\r\n");

        const ProgramResult r = Patchctl("update " + Quoted(dir));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (c.neededMiB == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(pc::test::ReadFileBytes(dir + "part3.bin"), std::string(12 * kMiB, 'n'));
            EXPECT_TRUE(fs::exists(dir + "tqm_patch.ini"));
            continue;
        }
        EXPECT_EQ(r.err, "Not enough disk space: " + std::to_string(c.neededMiB) + " MiB needed, " +
                             std::to_string(disk.FreeMiB()) + " MiB free [" + dir + "].\n");
        EXPECT_FALSE(fs::exists(dir + "tqm_patch.ini")) << "nothing is recorded";
        EXPECT_FALSE(fs::exists(dir + "data.bin"));

        // The next start, on a disk with room, applies the patch.
        disk.Grow(256);
        const ProgramResult again = Patchctl("update " + Quoted(dir));
        if (c.url.find("inflating.zip") == std::string::npos) {
            // Not an archive at all: it arrives now, and fails to open.
            EXPECT_NE(again.err.find("Invalid archive file"), std::string::npos) << again.err;
        } else {
            EXPECT_EQ(again.exitCode, 0) << again.err;
            EXPECT_EQ(fs::file_size(dir + "data.bin"), static_cast<std::uintmax_t>(70 * kMiB));
        }
    }
}

// What a delta decodes to lies beside the file it replaces, and a repair writes its files before the old
// ones go: both are counted before any byte is written or fetched.
TEST(DiskSpace, DecodedDeltasAndRepairedFilesAreCountedFirst) {
    SmallDisk disk(128);
    if (!disk.Mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here (" << disk.Why() << ")";
    const std::string dir = disk.Path();
    TempDir content, work;
    pc::test::NginxServer server(content.Path());
    std::ofstream(dir + "Config.ini", std::ios::binary)
        << Patchctl("config encode", pc::test::RealmConfig(server.Url("/n"), server.Url("/list.txt"))).out;
    const auto tooSmall = [&](long long neededMiB) {
        return "Not enough disk space: " + std::to_string(neededMiB) + " MiB needed, " +
               std::to_string(disk.FreeMiB()) + " MiB free [" + dir + "].\n";
    };
    // A 30 MiB file that a small delta turns into one of 100 MiB.
    const std::string old(30 * kMiB, 'a');
    for (const std::string& tree : {work / "old/", work / "new/", dir}) {
        fs::create_directories(tree);
        std::ofstream(tree + "data.bin", std::ios::binary) << old;
    }
    std::ofstream(work / "new/data.bin", std::ios::app) << std::string(70 * kMiB, 'b');
    ASSERT_EQ(Patchctl("pack --delta " + Quoted(work / "old") + " " + Quoted(work / "new") + " " +
                       Quoted(content / "p1.zip"))
                  .exitCode,
              0);
    content.Write("list.txt", "1\t" + server.Url("/p1.zip") + "\t1\t\t0\t\r\n");
    EXPECT_EQ(Patchctl("update " + Quoted(dir)).err, tooSmall(100 + 64));
    EXPECT_EQ(fs::file_size(dir + "data.bin"), old.size());

    // The client's one file, missing from the installation, is not fetched.
    const std::map<std::string, std::string> client{{"big.bin", std::string(70 * kMiB, '\0')}};
    const std::string archive = ZipBuilder().Deflated("big.bin", client.at("big.bin")).Build();
    const std::string manifest = pc::test::ClientManifestOf(client, archive);
    content.Write("client.zip", archive);
    content.Write("client.manifest", manifest);
    content.Write("list.txt", "//client " + server.Url("/client.manifest") + " " +
                                  pc::test::Sha256Of(manifest) + " 0\r\n");
    EXPECT_EQ(Patchctl("repair " + Quoted(dir)).err, tooSmall(70 + 64));
    EXPECT_FALSE(fs::exists(dir + "big.bin"));
}

} // namespace
