// Extraction through the component, on archives built here, with the built-in dialogs answered by script.
#include "archive/code_pages.h"
#include "archive/extract_files.h"
#include "archive/zip_archiver.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/zip_builder.h"
#ifndef _WIN32
#include "tests/support/child_process.h"
#endif
#include "tests/support/file_limit.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using pc::test::ReadFileBytes;
using pc::test::ZipBuilder;
using pc::test::ZipEntryDef;
using pc::testing::ScriptedDialogs;

const std::string kFailureTail = ". File processing error, possibly disk is full";

// Runs a check when a failure dialog comes up, then answers from the script.
class CheckingDialogs : public ScriptedDialogs {
public:
    std::function<void(const std::string&)> onFailure;
    pc::TZADialogAnswer ShowFailureDialog(const std::string& text, pc::TZAFailureButtons buttons) override {
        if (onFailure)
            onFailure(text);
        return ScriptedDialogs::ShowFailureDialog(text, buttons);
    }
};

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        pc::ApplyLauncherArchiverSettings(zip);
        zip.DialogProvider = &dialogs;
        base = dir / "out/";
    }

    void Open(const std::string& archive) {
        zip.FileName = pc::Utf8ToWide(dir.Write("patch.zip", archive));
        zip.Open();
        zip.BaseDir = pc::Utf8ToWide(base);
    }

    // The launcher's sequence: open, extract every entry under the base directory, close.
    void Extract(const std::string& archive, const std::u16string& mask = u"*.*",
                 const std::u16string& exclusion = u"") {
        Open(archive);
        zip.ExtractMatching(mask, pc::kZAEveryAttribute, exclusion);
        zip.Close();
    }

    std::string Out(const std::string& relative) const { return ReadFileBytes(base + relative); }
    bool Has(const std::string& relative) const { return fs::exists(fs::symlink_status(base + relative)); }

    // Every path under the base directory, directories with a trailing '/'.
    std::set<std::string> Tree() const {
        std::set<std::string> out;
        if (!fs::exists(base))
            return out;
        for (const auto& e : fs::recursive_directory_iterator(base)) {
            std::string rel = fs::relative(e.path(), base).generic_string();
            out.insert(e.is_directory() ? rel + "/" : rel);
        }
        return out;
    }

    std::string FailureText(const std::string& message) const { return message + kFailureTail; }

    pc::test::TempDir dir;
    std::string base;
    pc::TZipArchiver zip;
    CheckingDialogs dialogs;
};

TEST_F(Extraction, EntriesOfEveryKindComeOutAsStored) {
    const std::string text = "Patch notes\r\nline two\r\n";
    const std::string big = pc::test::RandomText(3 * 1024 * 1024 + 17, 1); // deflates to over 1 MiB
    ZipEntryDef emptyDeflated;
    emptyDeflated.name = "empty8.txt";
    emptyDeflated.payload = std::string("\x03\x00", 2);
    ZipBuilder b;
    b.Stored("stored.txt", text)
        .Deflated("data/deflated.txt", text + text + text)
        .Stored("empty0.txt", "")
        .Add(emptyDeflated)
        .Deflated("data/big.bin", big);
    Extract(b.Build());
    EXPECT_EQ(Out("stored.txt"), text);
    EXPECT_EQ(Out("data/deflated.txt"), text + text + text);
    EXPECT_EQ(Out("empty0.txt"), "");
    EXPECT_EQ(Out("empty8.txt"), "");
    EXPECT_TRUE(Out("data/big.bin") == big);
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Extraction, InfoZipArchivesExtractLikeUnzip) {
    if (std::system("command -v zip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    const std::string src = dir / "src/";
    fs::create_directories(src + "sub/deeper");
    dir.Write("src/readme.txt", "hello from zip\n");
    dir.Write("src/sub/data.bin", pc::test::RandomText(200000, 2));
    dir.Write("src/sub/deeper/zeros.bin", std::string(3'000'000, '\0'));
    dir.Write("src/empty.txt", "");
    const std::string plainZip = dir / "plain.zip", secretZip = dir / "secret.zip";
    ASSERT_EQ(std::system(("cd '" + src + "' && zip -q -r -6 '" + plainZip +
                           "' . && zip -q -r -P 'pass word' '" + secretZip + "' .")
                              .c_str()),
              0);
    zip.Password = "pass word";
    for (const std::string& archive : {plainZip, secretZip}) {
        fs::remove_all(base);
        Extract(ReadFileBytes(archive));
        for (const char* name : {"readme.txt", "sub/data.bin", "sub/deeper/zeros.bin", "empty.txt"})
            EXPECT_TRUE(Out(name) == ReadFileBytes(src + name)) << archive << ": " << name;
    }
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Extraction, TimesAttributesAndLinks) {
#ifdef _WIN32
    GTEST_SKIP() << "Unix permissions, symbolic links and POSIX TZ rules; the Windows attributes are tested "
                    "in archive_win32_tests";
#else
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();

    auto entry = [](const std::string& name, std::uint16_t madeBy, std::uint32_t attr) {
        ZipEntryDef s;
        s.name = name;
        s.data = name + " contents";
        s.versionMadeBy = madeBy;
        s.externalAttr = attr;
        return s;
    };
    ZipEntryDef summer = entry("summer.txt", pc::test::kMadeByDos, 0x20);
    summer.date = (44 << 9) | (7 << 5) | 15; // 2024-07-15 12:30:44 local summer time
    ZipEntryDef link = entry("link", pc::test::kMadeByUnix, 0120777u << 16);
    link.data = "../../../etc/passwd";
    ZipBuilder b;
    b.Add(entry("dos.txt", pc::test::kMadeByDos, 0x20))
        .Add(entry("dos-readonly.txt", pc::test::kMadeByDos, 0x21))
        .Add(entry("unix-script.sh", pc::test::kMadeByUnix, 0100750u << 16))
        .Add(entry("unix-setuid", pc::test::kMadeByUnix, 0104755u << 16))
        .Add(entry("unix-readonly.txt", pc::test::kMadeByUnix, (0100666u << 16) | 0x01))
        .Add(summer)
        .Add(link);
    Extract(b.Build());

    auto mode = [&](const std::string& name) {
        struct stat st {};
        EXPECT_EQ(::lstat((base + name).c_str(), &st), 0) << name;
        return st;
    };
    EXPECT_EQ(mode("dos.txt").st_mode & 07777, 0644u);
    EXPECT_EQ(mode("dos-readonly.txt").st_mode & 07777, 0444u);
    EXPECT_EQ(mode("unix-script.sh").st_mode & 07777, 0750u);
    EXPECT_EQ(mode("unix-setuid").st_mode & 07777, 0755u);
    EXPECT_EQ(mode("unix-readonly.txt").st_mode & 07777, 0444u);
    // No link is ever made: the entry becomes a file holding the link text.
    EXPECT_TRUE(S_ISREG(mode("link").st_mode));
    EXPECT_EQ(mode("link").st_mode & 07777, 0644u);
    EXPECT_EQ(Out("link"), "../../../etc/passwd");
    // DOS time as local time: 12:30:44 CET is 11:30:44 UTC, in summer CEST 10:30:44 UTC.
    EXPECT_EQ(mode("dos.txt").st_mtime, 1710505844 - 3600);
    EXPECT_EQ(mode("summer.txt").st_mtime, 1721046644 - 7200);

    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
#endif
}

TEST_F(Extraction, EntryFailuresAreReportedAndTheRunGoesOn) {
    const std::string text = "contents that deflate, contents that deflate, contents that deflate";
    ZipEntryDef badCrc;
    badCrc.name = "bad-crc.txt";
    badCrc.data = text;
    badCrc.centralCrc = pc::test::CrcOf(text) ^ 0x1;
    ZipEntryDef deflate64;
    deflate64.name = "deflate64.bin";
    deflate64.data = text;
    deflate64.method = 9;
    deflate64.payload = "whatever";
    ZipEntryDef unknownOld;
    unknownOld.name = "unknown.bin";
    unknownOld.data = text;
    unknownOld.method = 12;
    unknownOld.versionNeeded = 10;
    unknownOld.payload = text;
    ZipEntryDef bomb; // 32 MiB of zeros that claims to be 100 bytes
    bomb.name = "bomb.bin";
    bomb.data = std::string(100, '\0');
    bomb.payload = pc::test::RawDeflate(std::string(32 * 1024 * 1024, '\0'), 9);
    ZipEntryDef shortSize; // the declared size is above what the data gives
    shortSize.name = "short.txt";
    shortSize.data = text;
    shortSize.centralUncompressedSize = static_cast<std::uint32_t>(text.size() + 1);

    const std::string prefixed8 = "ZipArchiver: Invalid size or check sum of file or unsupported compression "
                                  "format - Native error: 00008";
    struct Case {
        ZipEntryDef entry;
        std::string message;
    } cases[] = {
        {badCrc, prefixed8},
        {deflate64, "Deflate64 compression method is not supported - Native error: 00055"},
        {unknownOld, prefixed8},
        {bomb, prefixed8},
        {shortSize, prefixed8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry.name);
        fs::remove_all(base);
        dialogs = CheckingDialogs();
        // The failed entry's file is gone by the time the user is asked.
        dialogs.onFailure = [&](const std::string&) { EXPECT_FALSE(Has(c.entry.name)); };
        dialogs.Answer(pc::daIgnore);
        ZipBuilder b;
        b.Stored("before.txt", "1").Add(c.entry).Stored("after.txt", "2");
        Extract(b.Build());
        ASSERT_EQ(dialogs.shown().size(), 1u);
        EXPECT_EQ(dialogs.shown()[0].text, FailureText(c.message));
        EXPECT_EQ(dialogs.shown()[0].buttons, pc::fbAbortRetryIgnore);
        EXPECT_EQ(Tree(), (std::set<std::string>{"before.txt", "after.txt"}));
    }
}

TEST_F(Extraction, UnsafeNamesAreRefusedAndNothingLeavesTheBase) {
    const std::string absolute = dir / "absolute.txt";
    const std::vector<std::string> unsafe = {
        absolute,
        "\\rooted.txt",
        "C:/drive.txt",
        "c:drive-relative.txt",
        "sub//double.txt",
        "sub\\\\double.txt",
        "../escape.txt",
        "sub/../../escape2.txt",
        "sub\\..\\..\\escape3.txt",
        "..",
    };
    ZipBuilder b;
    for (const auto& name : unsafe)
        b.Stored(name, "evil");
    b.Stored("safe/inside.txt", "good");
    for (std::size_t i = 0; i < unsafe.size(); ++i)
        dialogs.Answer(pc::daIgnore);
    Extract(b.Build());

    ASSERT_EQ(dialogs.shown().size(), unsafe.size());
    for (std::size_t i = 0; i < unsafe.size(); ++i)
        EXPECT_EQ(dialogs.shown()[i].text,
                  FailureText("ZipArchiver: Unsafe file name \"" + unsafe[i] + "\" - Native error: 00063"));
    EXPECT_EQ(Tree(), (std::set<std::string>{"safe/", "safe/inside.txt"}));
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_FALSE(fs::exists(dir / "escape.txt"));
    EXPECT_FALSE(fs::exists(dir / "escape2.txt"));
    EXPECT_FALSE(fs::exists(dir / "escape3.txt"));
}

#ifndef _WIN32
// Links that are already in the installation (a redirected save folder, a prefix's drive links): followed
// while they stay inside it, refused with the unsafe-name error when they lead out, by the kernel's
// confined lookup and by the walk that stands in for it alike.
class ExistingLinks : public Extraction, public ::testing::WithParamInterface<pc::fsys::TBeneathMethod> {
protected:
    void SetUp() override {
        Extraction::SetUp();
        pc::fsys::SetBeneathMethod(GetParam());
    }
    void TearDown() override { pc::fsys::SetBeneathMethod(pc::fsys::TBeneathMethod::System); }
};

TEST_P(ExistingLinks, AreFollowedInsideAndRefusedWhenTheyLeadOut) {
    fs::create_directories(base + "real/saves");
    fs::create_directories(dir / "victim");
    dir.Write("victim/pwned.txt", "original");
    const std::vector<std::pair<std::string, std::string>> links = {
        {"saves", "real/saves"},      // inside
        {"real/up", "../real"},       // inside, by way of ".."
        {"out", "../victim"},         // out, relative
        {"abs", dir / "victim"},      // out, absolute (even though it names a place it could reach)
        {"real/esc", "../../victim"}, // out, from one level down
        {"loop", "loop"},             // a link to itself
    };
    for (const auto& [link, target] : links)
        fs::create_symlink(target, base + link);
    ZipBuilder b;
    b.Stored("saves/game.sav", "kept");
    b.Stored("real/up/saves/second.sav", "kept too");
    b.Stored("saves/new/deeper.sav", "made inside");
    const std::vector<std::string> outside = {"out/pwned.txt", "abs/pwned.txt", "real/esc/pwned.txt",
                                              "out/made/deep.txt", "out/dir/"};
    for (const std::string& name : outside)
        b.Stored(name, name.back() == '/' ? "" : "escaped");
    b.Stored("loop/x.txt", "nowhere");
    for (std::size_t i = 0; i <= outside.size(); ++i)
        dialogs.Answer(pc::daIgnore);
    Extract(b.Build());

    EXPECT_EQ(ReadFileBytes(base + "real/saves/game.sav"), "kept");
    EXPECT_EQ(ReadFileBytes(base + "real/saves/second.sav"), "kept too");
    EXPECT_EQ(ReadFileBytes(base + "real/saves/new/deeper.sav"), "made inside");
    ASSERT_EQ(dialogs.shown().size(), outside.size() + 1);
    for (std::size_t i = 0; i < outside.size(); ++i)
        EXPECT_EQ(dialogs.shown()[i].text,
                  FailureText("ZipArchiver: Unsafe file name \"" + outside[i] + "\" - Native error: 00063"));
    EXPECT_EQ(dialogs.shown().back().text, FailureText("ZipArchiver: Cannot create directory \"" + base +
                                                       "loop/\" - Native error: 00020"));
    std::set<std::string> victim;
    for (const auto& e : fs::recursive_directory_iterator(dir / "victim"))
        victim.insert(e.path().filename().string());
    EXPECT_EQ(victim, (std::set<std::string>{"pwned.txt"}));
    EXPECT_EQ(ReadFileBytes(dir / "victim/pwned.txt"), "original");
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, ExistingLinks,
                         ::testing::Values(pc::fsys::TBeneathMethod::System,
                                           pc::fsys::TBeneathMethod::ComponentWalk),
                         [](const auto& info) {
                             return info.param == pc::fsys::TBeneathMethod::System
                                        ? std::string("Openat2")
                                        : std::string("ComponentWalk");
                         });

// A directory chain of 32,767 parts (one entry "a/a/.../a/", 128 KiB of archive): refused as a whole with
// the directory error, before anything is made, in memory that does not grow with the square of its depth.
TEST_F(Extraction, AChainLongerThanAnyPathIsRefusedBeforeAnythingIsMade) {
    std::string deep;
    for (int i = 0; i < 32767; ++i)
        deep += "a/";
    ZipBuilder b;
    b.Stored(deep, "");
    b.Stored("after.txt", "after");
    dialogs.Answer(pc::daIgnore);
    Extract(b.Build());
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, FailureText("ZipArchiver: Cannot create directory \"" + base + deep +
                                                   "\" - Native error: 00020"));
    EXPECT_EQ(Tree(), (std::set<std::string>{"after.txt"}));
}
#endif

TEST_F(Extraction, EncryptedEntriesAskForThePasswordOnce) {
    ZipEntryDef first;
    first.name = "first.txt";
    first.data = "first secret";
    first.password = "pw";
    ZipEntryDef second = first; // with a data descriptor: the check byte comes from the time
    second.name = "second.txt";
    second.data = "second secret, deflated, second secret";
    second.dataDescriptor = true;
    ZipEntryDef stored = first;
    stored.name = "stored.txt";
    stored.method = 0;
    ZipBuilder b;
    b.Add(first).Add(second).Add(stored).Stored("plain.txt", "plain");
    const std::string archive = b.Build();

    // A wrong answer asks again; the right one stays set for the entries after it.
    dialogs.AnswerPassword("wrong").AnswerPassword("pw");
    Extract(archive);
    EXPECT_EQ(Out("first.txt"), "first secret");
    EXPECT_EQ(Out("second.txt"), "second secret, deflated, second secret");
    EXPECT_EQ(Out("stored.txt"), "first secret");
    EXPECT_EQ(zip.Password, "pw");
    ASSERT_EQ(dialogs.shown().size(), 2u);
    EXPECT_EQ(dialogs.shown()[0].kind, ScriptedDialogs::kPassword);
    EXPECT_EQ(dialogs.shown()[0].text, "Password for \"first.txt\"");
    EXPECT_EQ(dialogs.shown()[0].prompt, "Enter password: ");
    EXPECT_EQ(dialogs.shown()[0].initial, "");
    EXPECT_EQ(dialogs.shown()[1].initial, "wrong");

    // Cancelling skips each encrypted entry without a message; the rest is written.
    fs::remove_all(base);
    zip.Password.clear();
    dialogs = CheckingDialogs();
    dialogs.AnswerPassword(std::nullopt).AnswerPassword(std::nullopt).AnswerPassword(std::nullopt);
    Extract(archive);
    EXPECT_EQ(Tree(), (std::set<std::string>{"plain.txt"}));
    EXPECT_EQ(dialogs.shown().size(), 3u);
    EXPECT_TRUE(dialogs.AllAnswersUsed());
}

TEST_F(Extraction, DataIsFoundThroughTheLocalHeaderAndStopsAtTheDirectory) {
    ZipEntryDef longerLocal;
    longerLocal.name = "name.txt";
    longerLocal.localName = "a/much/longer/local/name.txt";
    longerLocal.localExtra = std::string(37, 'x');
    longerLocal.data = "found through the local lengths";
    ZipEntryDef overlong; // its compressed size reaches far into the central directory
    overlong.name = "last.bin";
    overlong.method = 0;
    overlong.data = "the last entry's data";
    overlong.centralCompressedSize = static_cast<std::uint32_t>(overlong.data.size() + 500);
    ZipBuilder b;
    b.Add(longerLocal).Add(overlong);
    Open(b.Build());
    ASSERT_EQ(zip.DirManager()->Items.Item(1).CompressedSize, overlong.data.size() + 500);
    zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
    zip.Close();
    EXPECT_EQ(Out("name.txt"), "found through the local lengths");
    EXPECT_EQ(Out("last.bin"), "the last entry's data");
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Extraction, DirectoriesDuplicatesAndBlockFormat) {
    // The block format: a header and one stored block holding the whole contents.
    const std::string contents = "block format contents";
    std::string block(pc::kBlockHeaderSize, '\0');
    block[0] = static_cast<char>(contents.size());
    block[16] = 1;                  // one block
    block[22] = block[23] = '\xFF'; // not enciphered
    ZipBuilder::Put32(block, static_cast<std::uint32_t>(contents.size()));
    block += contents;
    ZipEntryDef blockEntry;
    blockEntry.name = "block.dat";
    blockEntry.data = contents;
    blockEntry.method = 77;
    blockEntry.payload = block;

    ZipBuilder b;
    b.Directory("sub/dir/")
        .Stored("sub/dir/file.txt", "in dir")
        .Directory("sub/empty") // no trailing '/': only its parent is made
        .Directory("win\\style\\")
        .Stored("dup.txt", "first")
        .Stored("dup.txt", "second")
        .Add(blockEntry);
    Extract(b.Build());
    EXPECT_EQ(Tree(), (std::set<std::string>{"sub/", "sub/dir/", "sub/dir/file.txt", "win/", "win/style/",
                                             "dup.txt", "block.dat"}));
    EXPECT_EQ(Out("dup.txt"), "second");
    EXPECT_EQ(Out("block.dat"), contents);
}

TEST_F(Extraction, ReadOnlyTargetsAreReplaced) {
#ifdef _WIN32
    GTEST_SKIP()
        << "the read-only mode bits are POSIX; the Windows attribute is tested in archive_win32_tests";
#else
    fs::create_directories(base);
    dir.Write("out/locked.txt", "old");
    ::chmod((base + "locked.txt").c_str(), 0444);
    ZipEntryDef readOnly;
    readOnly.name = "locked.txt";
    readOnly.data = "new";
    readOnly.externalAttr = 0x21;
    Extract(ZipBuilder().Add(readOnly).Build());
    EXPECT_EQ(Out("locked.txt"), "new");
    struct stat st {};
    ::stat((base + "locked.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);

    // With ReplaceReadOnly off a read-only file is left alone, silently.
    zip.Options.ReplaceReadOnly = false;
    Extract(ZipBuilder().Stored("locked.txt", "newer").Build());
    EXPECT_EQ(Out("locked.txt"), "new");
    EXPECT_TRUE(dialogs.shown().empty());
#endif
}

TEST_F(Extraction, UnwritableTargetRetryIgnoreAbort) {
    // A directory where the file should go cannot be replaced by it.
    const std::string archive =
        ZipBuilder().Stored("one.txt", "1").Stored("blocked.txt", "2").Stored("three.txt", "3").Build();
    const std::string message =
        FailureText("ZipArchiver: Cannot create file \"" + base + "blocked.txt\" - Native error: 00019");
    struct Case {
        pc::TZADialogAnswer answer;
        bool clearOnRetry;
        std::set<std::string> tree;
    } cases[] = {
        // Retry after the obstacle went away writes the file.
        {pc::daRetry, true, {"one.txt", "blocked.txt", "three.txt"}},
        {pc::daIgnore, false, {"one.txt", "blocked.txt/", "three.txt"}},
        {pc::daAbort, false, {"one.txt", "blocked.txt/"}},
        {pc::daClosed, false, {"one.txt", "blocked.txt/"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        fs::remove_all(base);
        fs::create_directories(base + "blocked.txt");
        dialogs = CheckingDialogs();
        dialogs.Answer(c.answer);
        if (c.clearOnRetry)
            dialogs.onFailure = [&](const std::string&) { fs::remove(base + "blocked.txt"); };
        Extract(archive);
        ASSERT_EQ(dialogs.shown().size(), 1u);
        EXPECT_EQ(dialogs.shown()[0].text, message);
        EXPECT_EQ(Tree(), c.tree);
    }
}

TEST_F(Extraction, WithoutADialogProviderAFailureEndsTheRun) {
    zip.DialogProvider = nullptr;
    ZipEntryDef bad;
    bad.name = "bad.txt";
    bad.data = "x";
    bad.centralCrc = 0;
    Extract(ZipBuilder().Stored("a.txt", "a").Add(bad).Stored("c.txt", "c").Build());
    EXPECT_EQ(Tree(), (std::set<std::string>{"a.txt"}));
}

TEST_F(Extraction, FullDiskEndsTheRunSilently) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file size limit to stand in for a full disk";
#else
    const std::string big = pc::test::RandomText(200 * 1024, 3);
    const std::string archive = ZipBuilder()
                                    .Stored("small.txt", "fits")
                                    .Deflated("big.bin", big)
                                    .Stored("later.txt", "never written")
                                    .Build();
    const std::string path = dir.Write("patch.zip", archive);
    fs::create_directories(base);
    {
        // Every write beyond 64 KiB fails, as on a full disk.
        pc::test::FileSizeLimit limit(64 * 1024);
        zip.FileName = pc::Utf8ToWide(path);
        zip.Open();
        zip.BaseDir = pc::Utf8ToWide(base);
        zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
        zip.Close();
    }
    EXPECT_EQ(Tree(), (std::set<std::string>{"small.txt"}));
    EXPECT_TRUE(dialogs.shown().empty());
#endif
}

TEST_F(Extraction, FullTmpfsEndsTheRunSilently) {
#ifdef _WIN32
    GTEST_SKIP() << "mounting a tmpfs is Linux's";
#else
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    fs::create_directories(base);
    if (::mount("tmpfs", base.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{base};
    Extract(ZipBuilder()
                .Stored("small.txt", "fits")
                .Deflated("big.bin", pc::test::RandomText(256 * 1024, 4))
                .Stored("later.txt", "never written")
                .Build());
    EXPECT_EQ(Tree(), (std::set<std::string>{"small.txt"}));
    EXPECT_TRUE(dialogs.shown().empty());
#endif
}

// The cases down to the masks keep permissions, times and running programs by POSIX calls; their Windows
// side is in win32_extract_test.cpp.
#ifndef _WIN32
// A file that an entry is about to replace, with what must survive of it when the entry fails.
struct ExistingFile {
    std::string path;
    std::string bytes;
    mode_t mode;
    std::time_t mtime;

    void Make() const {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << bytes;
        }
        ::chmod(path.c_str(), mode);
        const timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    // Content, permissions and time as they were.
    void ExpectUntouched() const {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(ReadFileBytes(path) == bytes) << path;
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
        EXPECT_EQ(st.st_mtime, mtime) << path;
    }
};

TEST_F(Extraction, AFailedEntryLeavesTheFileItWouldReplace) {
    const std::string text = "the new contents, the new contents, the new contents";
    ZipEntryDef badCrc;
    badCrc.name = "target.bin";
    badCrc.data = text;
    badCrc.centralCrc = pc::test::CrcOf(text) ^ 0x1;
    ZipEntryDef deflate64 = badCrc;
    deflate64.centralCrc.reset();
    deflate64.method = 9;
    deflate64.payload = "whatever";
    ZipEntryDef encrypted = deflate64;
    encrypted.method = 8;
    encrypted.payload.reset();
    encrypted.password = "secret";
    ZipEntryDef big; // long enough for progress events in the middle of it
    big.name = "target.bin";
    big.method = 0;
    big.data = pc::test::RandomText(3 * 1024 * 1024, 6);

    const std::string message8 = FailureText("ZipArchiver: Invalid size or check sum of file or unsupported "
                                             "compression format - Native error: 00008");
    const std::string message55 =
        FailureText("Deflate64 compression method is not supported - Native error: 00055");
    using Outcome = pc::TZARunOutcome;
    struct Case {
        const char* what;
        ZipEntryDef entry;
        std::vector<pc::TZADialogAnswer> answers;
        std::vector<std::string> failures; // failure dialog texts, in order
        bool corruptKept;
        bool cancelInside; // a progress event cancels the run in the middle of the entry
        bool replaced;
        bool laterWritten;
        Outcome outcome;
    } cases[] = {
        {"bad CRC, Abort", badCrc, {pc::daAbort}, {message8}, false, false, false, false, Outcome::roAborted},
        {"bad CRC, Ignore",
         badCrc,
         {pc::daIgnore},
         {message8},
         false,
         false,
         false,
         true,
         Outcome::roCompleted},
        {"bad CRC, closed",
         badCrc,
         {pc::daClosed},
         {message8},
         false,
         false,
         false,
         false,
         Outcome::roAborted},
        {"bad CRC, Retry then Ignore",
         badCrc,
         {pc::daRetry, pc::daIgnore},
         {message8, message8},
         false,
         false,
         false,
         true,
         Outcome::roCompleted},
        {"bad CRC, kept as corrupt", badCrc, {}, {}, true, false, true, true, Outcome::roCompleted},
        {"Deflate64, Ignore",
         deflate64,
         {pc::daIgnore},
         {message55},
         false,
         false,
         false,
         true,
         Outcome::roCompleted},
        {"password cancelled", encrypted, {}, {}, false, false, false, true, Outcome::roCompleted},
        {"cancelled by an event", big, {}, {}, false, true, false, false, Outcome::roAborted},
    };
    const std::string archiveAfter = "after.txt";
    // Both ways temporaries are made: unnamed (Linux) and named, as on file systems without unnamed files.
    for (const auto method : {pc::fsys::TTemporaryMethod::System, pc::fsys::TTemporaryMethod::Named})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(method == pc::fsys::TTemporaryMethod::System ? "unnamed" : "named");
            pc::fsys::SetTemporaryMethod(method);
            fs::remove_all(base);
            fs::create_directories(base);
            const ExistingFile old{base + "target.bin", "the old program", 0755, 1600000000};
            old.Make();
            dialogs = CheckingDialogs();
            for (const auto answer : c.answers)
                dialogs.Answer(answer);
            if (c.entry.password.size())
                dialogs.AnswerPassword(std::nullopt);
            // When the user is asked, the old file is whole and no temporary is in sight.
            dialogs.onFailure = [&](const std::string&) {
                old.ExpectUntouched();
                EXPECT_EQ(Tree(), (std::set<std::string>{"target.bin"}));
            };
            zip.ExtractCorruptedFiles = c.corruptKept;
            zip.OnFileProgress = nullptr;
            if (c.cancelInside)
                zip.OnFileProgress = [](pc::TZABaseArchiver&, const std::u16string&, double progress,
                                        pc::TZAProcessOperation, pc::TZAProgressPhase phase, bool& cancel) {
                    if (phase == pc::TZAProgressPhase::ppProcess && progress > 0)
                        cancel = true;
                };
            Extract(ZipBuilder().Add(c.entry).Stored(archiveAfter, "later").Build());

            std::vector<std::string> failures;
            for (const auto& shown : dialogs.shown())
                if (shown.kind == ScriptedDialogs::kFailure)
                    failures.push_back(shown.text);
            EXPECT_EQ(failures, c.failures);
            EXPECT_TRUE(dialogs.AllAnswersUsed());
            if (c.replaced)
                EXPECT_EQ(Out("target.bin"), text);
            else
                old.ExpectUntouched();
            std::set<std::string> tree{"target.bin"};
            if (c.laterWritten)
                tree.insert(archiveAfter);
            EXPECT_EQ(Tree(), tree);
            EXPECT_EQ(zip.LastRunOutcome(), c.outcome);
            pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
        }
}

TEST_F(Extraction, OutcomeOfRunsThatLeaveEntriesOut) {
    const std::string archive = ZipBuilder().Stored("a.txt", "new a").Stored("b.txt", "new b").Build();
    fs::create_directories(base);
    dir.Write("out/a.txt", "old a");
    struct Case {
        const char* what;
        std::u16string mask;
        pc::TZAOverwriteMode mode;
        std::set<std::string> tree;
    } cases[] = {
        {"overwrite declined", u"*.*", pc::TZAOverwriteMode::omNever, {"a.txt", "b.txt"}},
        {"nothing selected", u"*.none", pc::TZAOverwriteMode::omAlways, {"a.txt", "b.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The outcome of an earlier run is not carried over.
        zip.OnOverallProgress = [](pc::TZABaseArchiver&, double, pc::TZAProcessOperation,
                                   pc::TZAProgressPhase phase,
                                   bool& cancel) { cancel = phase == pc::TZAProgressPhase::ppStart; };
        Extract(archive);
        ASSERT_EQ(zip.LastRunOutcome(), pc::TZARunOutcome::roAborted);
        zip.OnOverallProgress = nullptr;

        zip.Options.OverwriteMode = c.mode;
        Extract(archive, c.mask);
        EXPECT_EQ(zip.LastRunOutcome(), pc::TZARunOutcome::roCompleted);
        EXPECT_EQ(Tree(), c.tree);
    }
    EXPECT_EQ(Out("a.txt"), "old a");
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Extraction, AFullDiskLeavesTheFileItWouldReplace) {
    const std::string archive = ZipBuilder()
                                    .Stored("small.txt", "fits")
                                    .Deflated("big.bin", pc::test::RandomText(256 * 1024, 7))
                                    .Stored("later.txt", "never written")
                                    .Build();
    struct Case {
        const char* what;
        bool tmpfs;
        pc::TZARunOutcome outcome;
    } cases[] = {
        // A file too large for the process's limit is no full disk, but the run stops as well.
        {"file size limit", false, pc::TZARunOutcome::roAborted},
        // Last, since a machine that cannot mount it skips the rest of the test.
        {"full tmpfs", true, pc::TZARunOutcome::roDiskFull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(base);
        fs::create_directories(base);
        if (c.tmpfs && ::geteuid() != 0)
            GTEST_SKIP() << "mounting a small tmpfs takes root: " << c.what;
        if (c.tmpfs && ::mount("tmpfs", base.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "no tmpfs can be mounted here: " << c.what;
        struct Unmount {
            std::string at;
            ~Unmount() {
                if (!at.empty())
                    ::umount(at.c_str());
            }
        } unmount{c.tmpfs ? base : std::string()};
        const ExistingFile old{base + "big.bin", std::string(8 * 1024, 'o'), 0755, 1600000000};
        old.Make();
        Open(archive);
        {
            std::optional<pc::test::FileSizeLimit> limit;
            if (!c.tmpfs)
                limit.emplace(64 * 1024);
            zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
        }
        zip.Close();
        old.ExpectUntouched();
        EXPECT_EQ(Tree(), (std::set<std::string>{"small.txt", "big.bin"}));
        EXPECT_EQ(zip.LastRunOutcome(), c.outcome);
        EXPECT_TRUE(dialogs.shown().empty());
    }
}

TEST_F(Extraction, ARunningProgramIsReplacedAndKeepsItsPermissions) {
    fs::create_directories(base);
    const std::string program = base + "game";
    fs::copy_file("/bin/sleep", program);
    ::chmod(program.c_str(), 0755);
    const pid_t pid = pc::test::SpawnChild({program, "30"}, dir / "stdout", dir / "stderr");
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{pid};
    // Wait until the child runs the program: its file is then busy and cannot be opened for writing.
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    std::error_code ec;
    for (int i = 0; i < 200 && fs::read_symlink(exe, ec) != program; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(fs::read_symlink(exe, ec), program);
    errno = 0;
    EXPECT_LT(::open(program.c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, ETXTBSY);

    ZipEntryDef update; // made on Windows: no Unix mode of its own
    update.name = "game";
    update.data = "the new game program";
    update.versionMadeBy = pc::test::kMadeByDos;
    update.externalAttr = 0x20;
    Extract(ZipBuilder().Add(update).Build());
    EXPECT_TRUE(dialogs.shown().empty());
    EXPECT_EQ(zip.LastRunOutcome(), pc::TZARunOutcome::roCompleted);
    EXPECT_EQ(Out("game"), update.data);
    struct stat st {};
    ASSERT_EQ(::stat(program.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(Tree(), (std::set<std::string>{"game"}));
    // The running program goes on, from the old file it still holds.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0);
}

// A file is never taken for a temporary, whatever it is called: an entry named as temporaries once were
// (".x.pc-part" before "x") is written like any other, in both ways temporaries are made. A link at the
// target is replaced, not followed.
TEST_F(Extraction, EntriesNamedLikeTemporariesAreFilesLikeAnyOther) {
    const std::string longName = std::string(250, 'L') + ".dat";
    for (const auto method : {pc::fsys::TTemporaryMethod::System, pc::fsys::TTemporaryMethod::Named}) {
        SCOPED_TRACE(method == pc::fsys::TTemporaryMethod::System ? "unnamed" : "named");
        pc::fsys::SetTemporaryMethod(method);
        fs::remove_all(base);
        fs::create_directories(base + "sub");
        dir.Write("outside.txt", "outside");
        dir.Write("out/.kept.txt.pc-part", "a file of the game");
        fs::create_symlink(dir / "outside.txt", base + "sub/linked.txt");
        Extract(ZipBuilder()
                    .Stored(".plain.txt.pc-part", "named like a temporary")
                    .Stored("plain.txt", "plain")
                    .Stored("kept.txt", "kept")
                    .Stored("sub/linked.txt", "linked")
                    .Stored(longName, "long")
                    .Stored("sub/.pc-part.0123456789abcdef", "named like another")
                    .Build());
        pc::fsys::SetTemporaryMethod(pc::fsys::TTemporaryMethod::System);
        EXPECT_TRUE(dialogs.shown().empty());
        EXPECT_EQ(zip.LastRunOutcome(), pc::TZARunOutcome::roCompleted);
        EXPECT_EQ(Tree(), (std::set<std::string>{".plain.txt.pc-part", "plain.txt", ".kept.txt.pc-part",
                                                 "kept.txt", "sub/", "sub/linked.txt", longName,
                                                 "sub/.pc-part.0123456789abcdef"}));
        EXPECT_EQ(Out(".plain.txt.pc-part"), "named like a temporary");
        EXPECT_EQ(Out("plain.txt"), "plain");
        EXPECT_EQ(Out(".kept.txt.pc-part"), "a file of the game");
        EXPECT_FALSE(fs::is_symlink(base + "sub/linked.txt"));
        EXPECT_EQ(Out("sub/linked.txt"), "linked");
        EXPECT_EQ(Out(longName), "long");
        EXPECT_EQ(ReadFileBytes(dir / "outside.txt"), "outside");
    }
}
#endif

std::vector<std::string> Selected(pc::TZipArchiver& zip, const std::u16string& mask,
                                  const std::u16string& exclusion = u"",
                                  std::uint32_t attr = pc::kZAEveryAttribute) {
    std::vector<std::string> names;
    pc::TZAArchiveItem item;
    for (bool found = zip.FindFirstMatch(mask, item, exclusion, attr); found; found = zip.FindNextMatch(item))
        names.push_back(pc::WideToUtf8(zip.DirManager()->Items.Item(item.Handle.Index).Name));
    return names;
}

TEST_F(Extraction, MasksSelectEntries) {
    ZipBuilder b;
    b.Stored("a.txt", "").Stored("dir/a.txt", "").Stored("dir/ab.txt", "").Stored("README", "");
    b.Stored("b.", "").Stored("B.TXT", "").Directory("dir/");
    b.Directory("hidden.dat", 0x02);
    b.Stored("", "no name"); // last: the name index takes an empty name only once
    Open(b.Build());
    using V = std::vector<std::string>;
    EXPECT_EQ(Selected(zip, u"*.*"),
              (V{"a.txt", "dir/a.txt", "dir/ab.txt", "README", "b.", "B.TXT", "dir/", "hidden.dat"}));
    EXPECT_EQ(Selected(zip, u"?.txt"), (V{"a.txt", "dir/a.txt", "B.TXT"}));
    EXPECT_EQ(Selected(zip, u"*.TXT"), (V{"a.txt", "dir/a.txt", "dir/ab.txt", "B.TXT"}));
    EXPECT_EQ(Selected(zip, u"*."), (V{"README", "b.", "dir/"}));
    EXPECT_EQ(Selected(zip, u"dir/*"), (V{"dir/a.txt", "dir/ab.txt"}));
    EXPECT_EQ(Selected(zip, u"C:dir\\a*"), (V{"dir/a.txt", "dir/ab.txt"}));
    // A non-empty exclusion mask takes out what it matches.
    EXPECT_EQ(Selected(zip, u"*.*", u"*.txt"), (V{"README", "b.", "dir/", "hidden.dat"}));
    // Hidden and directory entries need their attribute bits in the search attributes.
    EXPECT_EQ(Selected(zip, u"*.*", u"", 0),
              (V{"a.txt", "dir/a.txt", "dir/ab.txt", "README", "b.", "B.TXT"}));

    // Extraction with a mask writes just those; the nameless entry is never selected.
    zip.ExtractMatching(u"?.txt", pc::kZAEveryAttribute, u"");
    zip.Close();
    EXPECT_EQ(Tree(), (std::set<std::string>{"a.txt", "dir/", "dir/a.txt", "B.TXT"}));
}

TEST_F(Extraction, OverwriteModes) {
    ZipEntryDef entry; // dated 2024-03-15 12:30:44
    entry.name = "f.txt";
    entry.data = "new";
    // An existing f.txt last written on the given day, at the entry's time of day.
    auto existing = [&](std::uint16_t dosDate) {
        fs::remove_all(base);
        fs::create_directories(base);
        const auto when = pc::DosDateTimeToTime(dosDate, entry.time);
        pc::TZAOutputFile file;
        ASSERT_TRUE(file.Create(base + "f.txt"));
        file.WriteBuffer("old", 3);
        file.SetLastWriteTime(*when);
        ASSERT_TRUE(file.Commit());
    };
    const std::string archive = ZipBuilder().Add(entry).Build();
    const std::uint16_t older = (40 << 9) | (1 << 5) | 1, newer = (50 << 9) | (1 << 5) | 1;
    struct Case {
        pc::TZAOverwriteMode mode;
        std::uint16_t fileDate;
        std::string result;
    } cases[] = {
        {pc::TZAOverwriteMode::omAlways, newer, "new"},       {pc::TZAOverwriteMode::omNever, older, "old"},
        {pc::TZAOverwriteMode::omIfNewer, older, "new"},      {pc::TZAOverwriteMode::omIfNewer, newer, "old"},
        {pc::TZAOverwriteMode::omIfNewer, entry.date, "old"}, {pc::TZAOverwriteMode::omIfOlder, newer, "new"},
        {pc::TZAOverwriteMode::omIfOlder, older, "old"},
    };
    for (const auto& c : cases) {
        existing(c.fileDate);
        zip.Options.OverwriteMode = c.mode;
        Extract(archive);
        EXPECT_EQ(Out("f.txt"), c.result) << static_cast<int>(c.mode) << " " << c.fileDate;
    }
    EXPECT_TRUE(dialogs.shown().empty());

    // Prompting: the dialog's answer decides, and the "to All" answers change the mode for good.
    const std::string question = "Overwrite file \"" + base + "f.txt\" with \"f.txt\"";
    struct Prompt {
        pc::TZADialogAnswer answer;
        std::string result;
        pc::TZAOverwriteMode after;
    } prompts[] = {
        {pc::daYes, "new", pc::TZAOverwriteMode::omPrompt},
        {pc::daNo, "old", pc::TZAOverwriteMode::omPrompt},
        {pc::daClosed, "old", pc::TZAOverwriteMode::omPrompt},
        {pc::daNoToAll, "old", pc::TZAOverwriteMode::omNever},
        {pc::daYesToAll, "new", pc::TZAOverwriteMode::omAlways},
    };
    for (const auto& p : prompts) {
        existing(older);
        zip.Options.OverwriteMode = pc::TZAOverwriteMode::omPrompt;
        dialogs = CheckingDialogs();
        dialogs.Answer(p.answer);
        Extract(archive);
        ASSERT_EQ(dialogs.shown().size(), 1u);
        EXPECT_EQ(dialogs.shown()[0].kind, ScriptedDialogs::kOverwrite);
        EXPECT_EQ(dialogs.shown()[0].text, question);
        EXPECT_EQ(Out("f.txt"), p.result) << static_cast<int>(p.answer);
        EXPECT_EQ(zip.Options.OverwriteMode, p.after) << static_cast<int>(p.answer);
    }
}

TEST_F(Extraction, EventsSeeTheRunAndCanStopIt) {
    const std::string big = pc::test::RandomText(3 * 1024 * 1024, 5);
    const std::string archive =
        ZipBuilder().Stored("a.txt", "a").Stored("big.bin", big).Stored("c.txt", "c").Build();
    std::vector<std::string> log;
    zip.OnFileProgress = [&](pc::TZABaseArchiver&, const std::u16string& name, double progress,
                             pc::TZAProcessOperation op, pc::TZAProgressPhase phase, bool& cancel) {
        EXPECT_EQ(op, pc::TZAProcessOperation::poExtract);
        log.push_back(pc::WideToUtf8(name) + " " + std::to_string(static_cast<int>(phase)) + " " +
                      std::to_string(static_cast<int>(progress)));
        // Stop in the middle of the big entry.
        if (name == u"big.bin" && phase == pc::TZAProgressPhase::ppProcess && progress > 0)
            cancel = true;
    };
    Extract(archive);
    EXPECT_EQ(log, (std::vector<std::string>{"a.txt 0 0", "a.txt 1 0", "a.txt 2 100", "big.bin 0 0",
                                             "big.bin 1 0", "big.bin 1 33", "big.bin 2 100"}));
    // The entry being written when the run stopped is deleted; later entries are not touched.
    EXPECT_EQ(Tree(), (std::set<std::string>{"a.txt"}));

    // A failure handler replaces the dialog and sees the codes.
    zip.OnFileProgress = nullptr;
    std::vector<std::string> failures;
    zip.OnProcessFileFailure = [&](pc::TZABaseArchiver&, const std::u16string& name, pc::TZAProcessOperation,
                                   std::int32_t native, std::int32_t code, const std::u16string&,
                                   pc::TZAAction& action) {
        failures.push_back(pc::WideToUtf8(name) + " " + std::to_string(native) + " " + std::to_string(code));
        action = pc::TZAAction::faIgnore;
    };
    ZipEntryDef bad;
    bad.name = "sub\\bad.txt";
    bad.data = "x";
    bad.centralCrc = 1;
    Extract(ZipBuilder().Add(bad).Stored("ok.txt", "ok").Build());
    EXPECT_EQ(failures, (std::vector<std::string>{"sub/bad.txt 8 4"}));
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Extraction, ExtractingNeedsAnOpenArchive) {
    try {
        zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
        FAIL() << "no error";
    } catch (const pc::EZAException& e) {
        EXPECT_EQ(e.NativeError, 13);
        EXPECT_EQ(e.Message(), "ZipArchiver: Archive is not open - Native error: 00013");
    }
}

TEST_F(Extraction, TestOperationDecodesIntoASink) {
    ZipEntryDef bad;
    bad.name = "bad.txt";
    bad.data = "x";
    bad.centralCrc = 1;
    Open(ZipBuilder().Deflated("good.txt", "good").Add(bad).Directory("d/").Build());
    pc::TNullStream sink;
    zip.DecodeEntry(0, sink);
    EXPECT_THROW(zip.DecodeEntry(1, sink), pc::EZAException);
    try {
        zip.DecodeEntry(7, sink);
        FAIL() << "no error";
    } catch (const pc::EZAException& e) {
        EXPECT_EQ(e.NativeError, 16);
    }
    // With ExtractCorruptedFiles the damaged entry decodes without complaint.
    zip.ExtractCorruptedFiles = true;
    zip.DecodeEntry(1, sink);
    zip.Close();
    EXPECT_FALSE(fs::exists(base));
}

} // namespace

namespace {

// Two components share one process-wide lock around their runs: a run started from another thread
// waits for the first to finish, while a run nested on the same thread goes ahead.
TEST(ExtractionLock, RunsAreSerialisedAcrossThreadsAndReentrantOnOne) {
    pc::test::TempDir dir;
    const std::string archive =
        dir.Write("a.zip", ZipBuilder().Stored("x.txt", "x").Stored("y.txt", "y").Build());
    auto make = [&](pc::TZipArchiver& zip, const std::string& out) {
        pc::ApplyLauncherArchiverSettings(zip);
        zip.FileName = pc::Utf8ToWide(archive);
        zip.Open();
        zip.BaseDir = pc::Utf8ToWide(dir / out);
    };
    std::mutex logLock;
    std::vector<std::string> log;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> guard(logLock);
        log.push_back(what);
    };

    pc::TZipArchiver first, second, nested;
    make(first, "first/");
    make(second, "second/");
    make(nested, "nested/");
    std::thread other;
    // Notes when a run starts and ends; the first run, as it starts, sets off the other two.
    auto watch = [&](pc::TZipArchiver& zip, const std::string& name) {
        zip.OnOverallProgress = [&, name](pc::TZABaseArchiver&, double, pc::TZAProcessOperation,
                                          pc::TZAProgressPhase phase, bool&) {
            if (phase == pc::TZAProgressPhase::ppProcess)
                return;
            note(name + " " + std::to_string(static_cast<int>(phase)));
            if (name == "first" && phase == pc::TZAProgressPhase::ppStart) {
                other = std::thread([&] { second.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u""); });
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                nested.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
            }
        };
    };
    watch(first, "first");
    watch(second, "second");
    watch(nested, "nested");
    first.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
    other.join();
    EXPECT_EQ(log, (std::vector<std::string>{"first 0", "nested 0", "nested 2", "first 2", "second 0",
                                             "second 2"}));
    for (const char* out : {"first/x.txt", "second/y.txt", "nested/x.txt"})
        EXPECT_TRUE(fs::exists(dir / out)) << out;
}

} // namespace

namespace {

// Windows rules for names on disk: what differs only in letter case is the same file or directory.
TEST_F(Extraction, NamesDifferingOnlyInCaseReuseWhatIsThere) {
    fs::create_directories(base + "data/Maps");
    dir.Write("out/data/game.DAT", "old");
    dir.Write("out/README.txt", "old");
    Extract(ZipBuilder()
                .Stored("Data/Game.dat", "new game")
                .Stored("DATA/maps/Town.map", "town")
                .Stored("readme.TXT", "new readme")
                .Stored("Fresh/One.txt", "1")
                .Stored("fresh/two.txt", "2")
                .Build());
    EXPECT_EQ(Tree(), (std::set<std::string>{"data/", "data/game.DAT", "data/Maps/", "data/Maps/Town.map",
                                             "README.txt", "Fresh/", "Fresh/One.txt", "Fresh/two.txt"}));
    EXPECT_EQ(Out("data/game.DAT"), "new game");
    EXPECT_EQ(Out("README.txt"), "new readme");

#ifndef _WIN32 // under Wine a rename that changes only the letter case keeps the old spelling
    // A later run sees what the first one made, and what changed on disk in between.
    fs::rename(base + "Fresh", base + "FRESH");
    Extract(ZipBuilder().Stored("fresh/ONE.TXT", "again").Build());
    EXPECT_EQ(Out("FRESH/One.txt"), "again");
    EXPECT_EQ(Tree().count("Fresh/"), 0u) << "no second directory";
#endif
}

} // namespace
