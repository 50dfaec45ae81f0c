// patchctl pack and the archive writer: the patch from OLD to NEW read back by the launcher's component and
// by Info-ZIP, the same bytes for the same trees, Zip64 past 65,535 entries, and the trees it refuses.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "archive/zip_records.h"
#include "archive/zip_writer.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/zip_builder.h"
#include "tests/patchctl/patchctl_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using pc::test::Patchctl;
using pc::test::Quoted;
using pc::test::ReadFileBytes;
using pc::test::ReadTreeFiles;
using pc::test::TempDir;
using pc::test::WriteTreeFile;

// Text that deflates well, different for every seed.
std::string TextOf(std::size_t size, unsigned seed) {
    std::string text;
    for (unsigned i = 0; text.size() < size; ++i)
        text += "line " + std::to_string((i * 7919u + seed) % 10007u) + " of the realm's data\n";
    text.resize(size);
    return text;
}

// 2024-03-15 12:30:44 in local time.
std::time_t FixedSeconds() {
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    tm.tm_min = 30;
    tm.tm_sec = 44;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

fs::file_time_type FixedTime() {
    return std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(FixedSeconds()));
}

struct EntryInfo {
    std::string name;
    std::uint16_t method;
    std::uint16_t flags;
    std::uint16_t time;
    std::uint16_t date;
    bool operator==(const EntryInfo&) const = default;
};

// The directory as the launcher's component reads it.
std::vector<EntryInfo> ReadDirectory(const std::string& archive) {
    pc::TZipArchiver zip;
    pc::ApplyLauncherArchiverSettings(zip);
    zip.FileName = pc::Utf8ToWide(archive);
    zip.OpenInMode(pc::fmOpenRead | pc::fmShareDenyNone);
    std::vector<EntryInfo> entries;
    for (std::int32_t i = 0; i < zip.DirManager()->Items.Count(); ++i) {
        const pc::TDirItem& item = zip.DirManager()->Items.Item(i);
        entries.push_back({pc::WideToUtf8(item.Name), item.Method, item.Flags, item.ModTime, item.ModDate});
    }
    zip.Close();
    return entries;
}

class PackTrees : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = dir_ / "old";
        new_ = dir_ / "new";
        for (const std::string& root : {old_, new_}) {
            WriteTreeFile(root, "keep.txt", "the same in both\n");
            WriteTreeFile(root, "changed.txt", root == old_ ? "old text\n" : "new text, longer\n");
        }
        WriteTreeFile(old_, "gone.txt", "only the old tree has this\n");
        WriteTreeFile(old_, "data/old-only/x.bin", "x");
        WriteTreeFile(new_, "data/sub/text.txt", TextOf(200000, 1));
        WriteTreeFile(new_, "data/random.bin", pc::test::RandomText(70000, 2));
        std::string script = "#!/bin/sh\n";
        for (int i = 0; i < 20; ++i)
            script += "echo patched\n";
        WriteTreeFile(new_, "bin/run.sh", script, 0755);
        WriteTreeFile(new_,
                      "Gr\xC3\xBC\xC3\x9F"
                      "e/\xC3\xA4.txt",
                      "umlauts\n");
        WriteTreeFile(new_, "empty.txt", "");
        std::string notice;
        for (int i = 0; i < 10; ++i)
            notice += "keep your hands off\n";
        WriteTreeFile(new_, "readonly.txt", notice, 0444);
        // Larger than what the helpers hold whole: streamed, once deflated and once stored.
        WriteTreeFile(new_, "big/text.txt", TextOf(5u << 20, 3));
        WriteTreeFile(new_, "big/random.bin", pc::test::RandomText(5u << 20, 4));
        for (const auto& entry : fs::recursive_directory_iterator(new_))
            fs::last_write_time(entry.path(), FixedTime());
    }

    pc::test::ProgramResult Pack(const std::string& out, const std::string& options = "") const {
        return Patchctl("pack " + options + " " + Quoted(old_) + " " + Quoted(new_) + " " + Quoted(out));
    }

    TempDir dir_;
    std::string old_, new_;
};

TEST_F(PackTrees, ThePatchTurnsOldIntoNewWithTheComponentAndWithUnzip) {
    const std::string archive = dir_ / "patch.zip";
    const auto packed = Pack(archive, "--keep-removed");
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(packed.err, "not removed by this patch: data/old-only/x.bin\n"
                          "not removed by this patch: gone.txt\n");
    const std::uintmax_t bytes = 17 + 200000 + 70000 + 270 + 8 + 0 + 200 + 2 * (5u << 20);
    EXPECT_EQ(packed.out, archive + ": 9 files, 5 folders, " + std::to_string(bytes) + " bytes packed into " +
                              std::to_string(fs::file_size(archive)) + "\n");

    std::uint16_t date = 0, time = 0;
    pc::DosDateTimeOf(FixedSeconds(), date, time);
    EXPECT_EQ(date, (44 << 9) | (3 << 5) | 15);
    EXPECT_EQ(time, (12 << 11) | (30 << 5) | 22);
    const std::string umlauts = "Gr\xC3\xBC\xC3\x9F"
                                "e/";
    const std::vector<EntryInfo> expected = {
        {umlauts, 0, 0x0800, time, date},
        {umlauts + "\xC3\xA4.txt", 0, 0x0800, time, date}, // too short for deflate to pay
        {"big/", 0, 0, time, date},
        {"big/random.bin", 0, 0, time, date},
        {"big/text.txt", 8, 0, time, date},
        {"bin/", 0, 0, time, date},
        {"bin/run.sh", 8, 0, time, date},
        {"changed.txt", 0, 0, time, date},
        {"data/", 0, 0, time, date},
        {"data/random.bin", 0, 0, time, date},
        {"data/sub/", 0, 0, time, date},
        {"data/sub/text.txt", 8, 0, time, date},
        {"empty.txt", 0, 0, time, date},
        {"readonly.txt", 8, 0, time, date},
    };
    EXPECT_EQ(ReadDirectory(archive), expected);

    // What OLD becomes: NEW, and the files a patch cannot remove.
    auto result = ReadTreeFiles(new_);
    for (const std::string name : {"gone.txt", "data/old-only/", "data/old-only/x.bin"})
        result[name] = ReadTreeFiles(old_)[name];
    const std::string byComponent = dir_ / "by-component";
    const std::string byUnzip = dir_ / "by-unzip";
    fs::copy(old_, byComponent, fs::copy_options::recursive);
    fs::copy(old_, byUnzip, fs::copy_options::recursive);
    const auto extracted = Patchctl("extract " + Quoted(archive) + " " + Quoted(byComponent));
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ReadTreeFiles(byComponent), result);
    EXPECT_EQ(fs::last_write_time(byComponent + "/big/text.txt"), FixedTime());
    const auto unzipped = pc::test::RunProgram("unzip -o -q " + Quoted(archive) + " -d " + Quoted(byUnzip));
    EXPECT_EQ(unzipped.exitCode, 0) << unzipped.err;
    EXPECT_EQ(ReadTreeFiles(byUnzip), result);
    EXPECT_EQ(pc::test::RunProgram("unzip -t -qq " + Quoted(archive)).exitCode, 0);
}

TEST_F(PackTrees, SameTreesGiveTheSameBytesWhateverTheThreads) {
    ASSERT_EQ(Pack(dir_ / "a.zip", "--all --keep-removed").exitCode, 0);
    ASSERT_EQ(Pack(dir_ / "b.zip", "--all --keep-removed").exitCode, 0);
    const std::string first = ReadFileBytes(dir_ / "a.zip");
    EXPECT_EQ(first, ReadFileBytes(dir_ / "b.zip"));
    // A full patch: every file of NEW, keep.txt included.
    EXPECT_EQ(ReadDirectory(dir_ / "a.zip").size(), 15u);

    std::vector<pc::TZipSourceEntry> entries;
    for (const std::string name :
         {"big/random.bin", "big/text.txt", "data/random.bin", "data/sub/text.txt", "empty.txt", "keep.txt"})
        entries.push_back({name, new_ + "/" + name, 0100644, 1700000000});
    std::string one;
    for (unsigned threads : {1u, 2u, 5u}) {
        pc::TZipWriteOptions options;
        options.threads = threads;
        pc::WriteZipArchive(dir_ / "direct.zip", entries, options);
        const std::string bytes = ReadFileBytes(dir_ / "direct.zip");
        if (threads == 1)
            one = bytes;
        EXPECT_EQ(bytes, one) << threads << " threads";
    }
}

TEST(PatchctlPackZip64, MoreThan65535EntriesTakeTheZip64Records) {
    TempDir dir;
    const std::string source = dir.Write("file.txt", "one file among many folders\n");
    for (const std::size_t count : {65534u, 65536u}) {
        std::vector<pc::TZipSourceEntry> entries;
        entries.push_back({"file.txt", source, 0100644, 1700000000});
        char name[32];
        for (std::size_t i = 1; i < count; ++i) {
            std::snprintf(name, sizeof name, "d%05zu/", i);
            entries.push_back({name, "", 040755, 1700000000});
        }
        const std::string archive = dir / "many.zip";
        pc::WriteZipArchive(archive, entries); // checked by the component before it is kept
        const std::string bytes = ReadFileBytes(archive);
        const auto* end = reinterpret_cast<const std::uint8_t*>(bytes.data()) + bytes.size();
        const pc::TZAEndRecord record = pc::TZAEndRecord::Parse(end - pc::TZAEndRecord::kSize);
        const pc::TZAZip64Locator locator =
            pc::TZAZip64Locator::Parse(end - pc::TZAEndRecord::kSize - pc::TZAZip64Locator::kSize);
        if (count < 65535) {
            EXPECT_EQ(record.TotalEntries, count);
            EXPECT_NE(locator.Signature, pc::kZip64LocatorSignature);
        } else {
            EXPECT_EQ(record.TotalEntries, 0xFFFF);
            ASSERT_EQ(locator.Signature, pc::kZip64LocatorSignature);
            const auto zip64 = pc::TZAZip64EndRecord::Parse(
                reinterpret_cast<const std::uint8_t*>(bytes.data()) + locator.EndRecordOffset);
            EXPECT_EQ(zip64.TotalEntries, count);
        }
        EXPECT_EQ(ReadDirectory(archive).size(), count);
        const auto tested = pc::test::RunProgram("unzip -t -qq " + Quoted(archive));
        EXPECT_EQ(tested.exitCode, 0) << count << ": " << tested.out << tested.err;
    }
}

TEST(PatchctlPackRefusals, TreesThePatchCannotCarryWriteNothing) {
    struct Case {
        const char* what;
        void (*make)(const std::string& root);
        std::string err;
    } cases[] = {
        {"symbolic link", [](const std::string& root) { fs::create_symlink("a.txt", root + "/link.txt"); },
         "patchctl pack: link.txt is a symbolic link, which a patch cannot carry\n"},
        {"backslash", [](const std::string& root) { WriteTreeFile(root, "dir\\name.txt", "x"); },
         "patchctl pack: the name dir\\name.txt holds a '\\', which the launcher takes as a folder "
         "separator\n"},
        {"drive", [](const std::string& root) { WriteTreeFile(root, "c:boot.ini", "x"); },
         "patchctl pack: the name c:boot.ini would be written outside the installation\n"},
        {"not UTF-8", [](const std::string& root) { WriteTreeFile(root, "caf\xE9.txt", "x"); },
         "patchctl pack: the name caf\xE9.txt is not valid UTF-8\n"},
        {"letter case", [](const std::string& root) { WriteTreeFile(root, "A.TXT", "x"); },
         "patchctl pack: A.TXT and a.txt differ only in letter case\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string root = dir / "new";
        WriteTreeFile(root, "a.txt", "a");
        c.make(root);
        const auto result = Patchctl("pack --all " + Quoted(root) + " " + Quoted(dir / "out.zip"));
        EXPECT_EQ(result.exitCode, 2) << c.what;
        EXPECT_EQ(result.err, c.err + "patchctl pack: nothing written\n") << c.what;
        EXPECT_EQ(result.out, "") << c.what;
        EXPECT_FALSE(fs::exists(dir / "out.zip")) << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1) << c.what;
    }
}

// An archive at OUT may be a published patch, and trees without a difference give no patch: both are
// refused without writing anything.
TEST(PatchctlPackRefusals, AnExistingArchiveAndTreesWithoutAChange) {
    TempDir dir;
    const std::string old = dir / "old", next = dir / "new", out = dir / "out.zip";
    WriteTreeFile(old, "a.txt", "a");
    WriteTreeFile(old, "sub/b.txt", "b");
    WriteTreeFile(next, "a.txt", "a");
    WriteTreeFile(next, "sub/b.txt", "b");
    fs::create_directories(dir / "empty");
    const std::string trees = Quoted(old) + " " + Quoted(next) + " " + Quoted(out);
    struct Case {
        std::string what;
        std::string args;
        int exitCode;
        std::string err;
    } cases[] = {
        {"same trees", trees, 1,
         "patchctl pack: nothing changed: NEW has no file or folder that OLD lacks or has with other "
         "content; nothing written\n"},
        {"only a removal", "--keep-removed " + Quoted(next) + " " + Quoted(old) + " " + Quoted(out), 1, ""},
        {"empty tree, --all", "--all " + Quoted(dir / "empty") + " " + Quoted(out), 1,
         "patchctl pack: nothing changed: NEW is empty; nothing written\n"},
    };
    for (const Case& c : cases) {
        if (c.what == "only a removal")
            WriteTreeFile(next, "gone.txt", "only in the first tree");
        const auto r = Patchctl("pack " + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
        if (c.what == "only a removal")
            EXPECT_EQ(r.err,
                      "not removed by this patch: gone.txt\npatchctl pack: nothing changed: NEW has no "
                      "file or folder that OLD lacks or has with other content; nothing written\n");
        else
            EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_FALSE(fs::exists(out)) << c.what;
        fs::remove(next + "/gone.txt");
    }

    // An archive that is there stays unless --force is given.
    WriteTreeFile(next, "c.txt", "c");
    const std::string published = dir.Write("out.zip", "the published patch");
    auto r = Patchctl("pack " + trees);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "patchctl pack: " + out +
                  " exists; a published patch must not change (--force replaces it); nothing written\n");
    EXPECT_EQ(ReadFileBytes(out), "the published patch");
    r = Patchctl("pack " + trees + " --force");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadDirectory(out).size(), 1u);
}

// On a terminal the packing of a large tree shows its progress on stderr and erases it before the
// summary; anywhere else stderr stays clean (the other tests compare it byte for byte).
TEST(PatchctlPackProgress, DrawnOnATerminalOnly) {
    TempDir dir;
    WriteTreeFile(dir / "new", "big.bin", std::string(20u << 20, 'x'));
    const std::string out = dir / "out.zip";
    // script(1) gives the program a terminal; what it shows comes back on script's stdout.
    const auto shown = pc::test::RunProgram(
        "script -qec " +
        Quoted(Quoted(PATCHCTL_PATH) + " pack --all " + Quoted(dir / "new") + " " + Quoted(out)) +
        " /dev/null");
    ASSERT_EQ(shown.exitCode, 0) << shown.out;
    EXPECT_NE(shown.out.find("\r\033[Kpacking: "), std::string::npos) << shown.out;
    const std::string tail = "\r\033[Kchecking the archive...\r\033[K" + out + ": 1 file, 0 folders, " +
                             std::to_string(20u << 20) + " bytes packed into " +
                             std::to_string(fs::file_size(out)) + "\r\n";
    ASSERT_GE(shown.out.size(), tail.size());
    EXPECT_EQ(shown.out.substr(shown.out.size() - tail.size()), tail);
}

} // namespace
