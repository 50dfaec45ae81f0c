// Extraction on Windows itself: the DOS attributes of the entries, read-only targets, targets held open by
// another program, and the entries' times.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/file_system.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

using pc::test::AttributesOf;
using pc::test::HeldFile;
using pc::test::ReadFileBytes;
using pc::test::ZipBuilder;
using pc::test::ZipEntryDef;

class Win32Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        pc::ApplyLauncherArchiverSettings(zip);
        zip.DialogProvider = &dialogs;
        base = dir / "out\\";
        std::filesystem::create_directories(base);
    }
    void Extract(const std::string& archive) {
        zip.FileName = pc::Utf8ToWide(dir.Write("patch.zip", archive));
        zip.Open();
        zip.BaseDir = pc::Utf8ToWide(base);
        zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
        zip.Close();
    }
    static ZipEntryDef Entry(const std::string& name, std::uint32_t attr,
                             std::uint16_t madeBy = pc::test::kMadeByDos) {
        ZipEntryDef e;
        e.name = name;
        e.data = name + " contents";
        e.externalAttr = attr;
        e.versionMadeBy = madeBy;
        return e;
    }

    pc::test::TempDir dir;
    std::string base;
    pc::TZipArchiver zip;
    pc::testing::ScriptedDialogs dialogs;
};

// Wine reports every file with the archive bit, whatever was set, so only these three are compared.
constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

TEST_F(Win32Extraction, EntriesBringTheirAttributes) {
    struct Case {
        const char* name;
        std::uint32_t attr;
        std::uint16_t madeBy;
        DWORD expected;
    } cases[] = {
        {"plain.txt", 0x20, pc::test::kMadeByDos, 0},
        {"readonly.txt", 0x21, pc::test::kMadeByDos, FILE_ATTRIBUTE_READONLY},
        {"hidden.txt", 0x22, pc::test::kMadeByDos, FILE_ATTRIBUTE_HIDDEN},
        {"system.txt", 0x24, pc::test::kMadeByDos, FILE_ATTRIBUTE_SYSTEM},
        {"all.txt", 0x27, pc::test::kMadeByDos, kKept},
        {"none.txt", 0x00, pc::test::kMadeByDos, 0},
        // From Unix the low byte still carries the DOS bits Info-ZIP puts there; the mode is not Windows'.
        {"unix.txt", (0100644u << 16) | 0x01, pc::test::kMadeByUnix, FILE_ATTRIBUTE_READONLY},
    };
    ZipBuilder builder;
    for (const auto& c : cases)
        builder.Add(Entry(c.name, c.attr, c.madeBy));
    Extract(builder.Build());
    for (const auto& c : cases) {
        EXPECT_EQ(ReadFileBytes(base + c.name), std::string(c.name) + " contents") << c.name;
        EXPECT_EQ(AttributesOf(base + c.name) & kKept, c.expected) << c.name;
    }
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Win32Extraction, ReadOnlyAndHiddenTargetsAreReplaced) {
    const std::string target = dir.Write("out\\locked.txt", "old");
    ASSERT_TRUE(::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Extract(ZipBuilder().Add(Entry("locked.txt", 0x21)).Build());
    EXPECT_EQ(ReadFileBytes(target), "locked.txt contents");
    EXPECT_EQ(AttributesOf(target) & kKept, DWORD{FILE_ATTRIBUTE_READONLY});

    // With ReplaceReadOnly off the read-only file stays, silently.
    zip.Options.ReplaceReadOnly = false;
    Extract(ZipBuilder().Stored("locked.txt", "newer").Build());
    EXPECT_EQ(ReadFileBytes(target), "locked.txt contents");
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(Win32Extraction, ATargetHeldOpenWithoutSharingCannotBeReplaced) {
    const std::string target = dir.Write("out\\game.exe", "running");
    const std::string archive = ZipBuilder().Stored("game.exe", "patched").Stored("after.txt", "x").Build();
    HeldFile running(target, FILE_SHARE_READ);
    ASSERT_TRUE(running.Held());
    dialogs.Answer(pc::daIgnore);
    Extract(archive);
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text,
              "ZipArchiver: Cannot create file \"" + base +
                  "game.exe\" - Native error: 00019. File processing error, possibly "
                  "disk is full");
    EXPECT_EQ(ReadFileBytes(base + "after.txt"), "x"); // Ignore goes on with the next entry
}

// No entry is ever written under a temporary's name: the system strips the final dot of an entry named
// "pc-part.<16 hex digits>.", and the files of entries named as temporaries or programs moved aside once
// were are files like any other. Removing what killed runs left takes only the real leftover.
TEST_F(Win32Extraction, EntriesNamedLikeTemporariesAreFilesLikeAnyOther) {
    Extract(ZipBuilder()
                .Stored(".x.pc-part", "named as temporaries once were")
                .Stored("x", "x")
                .Stored("pc-part.0123456789abcdef.", "named as temporaries are")
                .Stored("game.exe.0123456789ab.moved-aside", "named as programs moved aside once were")
                .Build());
    EXPECT_TRUE(dialogs.shown().empty());
    std::string leftover;
    ASSERT_TRUE(pc::fsys::CreateTemporaryBeside(base + "y", leftover).Valid()); // closed: a killed run's
    EXPECT_NE(::GetFileAttributesW(std::filesystem::path(pc::Utf8ToWide(leftover)).c_str()),
              INVALID_FILE_ATTRIBUTES);
    pc::fsys::RemoveLeftovers(base);
    EXPECT_EQ(::GetFileAttributesW(std::filesystem::path(pc::Utf8ToWide(leftover)).c_str()),
              INVALID_FILE_ATTRIBUTES);
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(base))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{".x.pc-part", "x", "pc-part.0123456789abcdef",
                                            "game.exe.0123456789ab.moved-aside"}));
    EXPECT_EQ(ReadFileBytes(base + ".x.pc-part"), "named as temporaries once were");
    EXPECT_EQ(ReadFileBytes(base + "x"), "x");
    EXPECT_EQ(ReadFileBytes(base + "pc-part.0123456789abcdef"), "named as temporaries are");
}

TEST_F(Win32Extraction, TheEntrysTimeBecomesTheLastWriteTime) {
    ZipEntryDef e = Entry("dated.txt", 0x20);
    e.date = (44 << 9) | (7 << 5) | 15; // 2024-07-15
    e.time = (12 << 11) | (30 << 5) | 22;
    Extract(ZipBuilder().Add(e).Build());
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExA((base + "dated.txt").c_str(), GetFileExInfoStandard, &data));
    FILETIME local{};
    ASSERT_TRUE(::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local));
    WORD date = 0, time = 0;
    ASSERT_TRUE(::FileTimeToDosDateTime(&local, &date, &time));
    EXPECT_EQ(date, e.date);
    EXPECT_EQ(time, e.time);
}

} // namespace

namespace {

bool MakeDirectoryLink(const std::string& link, const std::string& target) {
    constexpr DWORD kUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode)
    const std::u16string wideLink = pc::Utf8ToWide(link), wideTarget = pc::Utf8ToWide(target);
    const std::wstring from(wideLink.begin(), wideLink.end()), to(wideTarget.begin(), wideTarget.end());
    if (!::CreateSymbolicLinkW(from.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged) &&
        !::CreateSymbolicLinkW(from.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        return false;
    // Wine answers success and makes a plain directory: only a real reparse point counts.
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A directory link already in the installation is followed while it stays inside and fails the entry
// with the unsafe-name error when it leads out; the file it leads to is not touched.
TEST_F(Win32Extraction, DirectoryLinksAreFollowedOnlyWhileTheyStayInside) {
    std::filesystem::create_directories(base + "real\\saves");
    std::filesystem::create_directories(dir / "victim");
    if (!MakeDirectoryLink(base + "saves", base + "real\\saves") ||
        !MakeDirectoryLink(base + "out", dir / "victim"))
        GTEST_SKIP() << "no directory links can be made here (Wine makes none)";
    ZipBuilder b;
    b.Stored("saves/game.sav", "kept");
    b.Stored("out/pwned.txt", "escaped");
    dialogs.Answer(pc::daIgnore);
    Extract(b.Build());
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(ReadFileBytes(base + "real\\saves\\game.sav"), "kept");
    EXPECT_EQ(dialogs.shown()[0].text,
              "ZipArchiver: Unsafe file name \"out/pwned.txt\" - Native error: 00063. "
              "File processing error, possibly disk is full");
    EXPECT_FALSE(std::filesystem::exists(dir / "victim\\pwned.txt"));
}

} // namespace
