// Extraction through the component, on archives built here, with the built-in dialogs answered by script.
#include "tests/archive/extraction_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

using namespace extraction_test;

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
