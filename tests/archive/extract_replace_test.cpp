// Extraction runs that stop, skip or replace: what a failed entry leaves, overwrite modes, masks, events.
#include "tests/archive/extraction_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

using namespace extraction_test;

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
