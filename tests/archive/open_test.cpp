// Opening and closing archives: the directory read from every generated fixture, and the failures.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/fixtures.h"
#ifdef _WIN32
#include "tests/support/win32_files.h"
#endif

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <string>
#include <vector>

namespace pc {
namespace {

using test::Fixture;
using test::ReadFileBytes;
using test::TempDir;
using Names = std::vector<std::u16string>;

const Names kPlainNames = {u"readme.txt", u"data/", u"data/big.bin", u"data/empty.txt"};
const Names kTwoNames = {u"a.txt", u"b.txt"};

std::unique_ptr<TZipArchiver> LauncherArchiver(const std::string& path) {
    auto archiver = std::make_unique<TZipArchiver>();
    ApplyLauncherArchiverSettings(*archiver);
    archiver->FileName = Utf8ToWide(path);
    return archiver;
}

Names NamesOf(TZipArchiver& archiver) {
    Names names;
    TZADirArray& items = archiver.DirManager()->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i)
        names.push_back(items.Item(i).Name);
    return names;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

// Whether a local header with the entry's stored name length starts at the position.
bool LocalHeaderAt(const std::string& bytes, std::uint64_t position, const TDirItem& item) {
    if (position + 30 > bytes.size())
        return false;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data() + position);
    return GetU32(p) == kLocalHeaderSignature && GetU16(p + 26) == item.NameLength;
}

struct DirectoryCase {
    const char* file;
    Names names;
    bool recovered;       // rebuilt from the local headers
    std::int64_t prefix;  // PrefixSize
    bool relativeOffsets; // the stored offsets did not count the prefix
};

// CP437's box drawing in ANSI: the system's best fits, on both editions.
const std::u16string kBoxName = u"+-+\u00A6.txt";

TEST(OpenTest, DirectoryOfEveryFixture) {
    const std::vector<DirectoryCase> cases = {
        {"plain.zip", kPlainNames, false, 0, false},
        {"infozip.zip",
         {u"top.txt", u"sub/", u"sub/one.cfg", u"sub/deeper/", u"sub/deeper/two.dat"},
         false,
         0,
         false},
        {"comment100.zip", kPlainNames, false, 0, false},
        {"comment100_stray.zip", kPlainNames, false, 0, false},
        {"two_end_records.zip", kPlainNames, false, 0, false},
        {"stub_prepended.zip", kPlainNames, false, 1000, true},
        {"sfx.exe", {u"setup.ini", u"bin/", u"bin/tool.dat"}, false, 1000, false},
        {"stub_streamed.zip", {u"one.txt", u"two.txt"}, false, 1000, true},
        {"zip64.zip", {u"big.dat", u"small.txt"}, false, 0, false},
        {"count65535.zip", kTwoNames, true, 0, false},
        {"truncated_cd.zip", {u"a.txt", u"emptyfile", u"dd.txt"}, true, 0, false},
        {"cp437.zip",
         {u"\u00FCber.txt", u"caf\u00E9.txt", u"Stra\u00DFe.txt", kBoxName, u"\u0192a\u00A2.txt"},
         false,
         0,
         false},
        {"unicode_block.zip",
         {u"\u00DCn\u00EFc\u00F6d\u00E9.txt", u"x2.txt", u"abc", u"\u0436.txt"},
         false,
         0,
         false},
        {"utf8_flag.zip", {u"\u65E5\u672C/\u30D5\u30A1\u30A4\u30EB.txt", u"\u00FCber.txt"}, false, 0, false},
        {"bad_utf8.zip", {u"a\uFFFDb\uFFFD.txt"}, false, 0, false},
        {"volume.zip", kTwoNames, true, 0, false},
        {"lying_cd_size.zip", kTwoNames, true, 0, false},
        {"lying_cd_size_negative.zip", kTwoNames, true, 0, false},
        {"lying_entry_count.zip", kTwoNames, true, 0, false},
        {"lying_name_length.zip", kTwoNames, true, 0, false},
        {"lying_extra_length.zip", kTwoNames, true, 0, false},
        {"lying_local_size.zip", {u"b.txt"}, true, 0, false},
        {"short_extra_block.zip", {u"a.txt"}, false, 0, false},
        {"stray_extra_bytes.zip", {u"a.txt"}, false, 0, false},
        {"short_zip64_extra.zip", {u"a.txt"}, false, 0, false},
        {"claims_big_sizes.zip", {u"a.txt"}, false, 0, false},
        {"pk_flood_stub.zip", kPlainNames, false, 1 + 4 * 262144, true},
    };
    for (const DirectoryCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = Fixture(c.file);
        const std::string bytes = ReadFileBytes(path);
        auto archiver = LauncherArchiver(path);
        archiver->Open();
        ASSERT_TRUE(archiver->IsOpen());
        EXPECT_EQ(archiver->OpenMode(), 0x22);
        EXPECT_EQ(NamesOf(*archiver), c.names);
        TZADirManager& dir = *archiver->DirManager();
        EXPECT_EQ(dir.DirectoryStart == static_cast<std::int64_t>(bytes.size()), c.recovered);
        EXPECT_EQ(dir.PrefixSize, c.prefix);
        for (std::int32_t i = 0; i < dir.Items.Count(); ++i) {
            const TDirItem& item = dir.Items.Item(i);
            const bool directory = (item.ExternalAttr & kAttrDirectory) != 0;
            // Directory entries keep their stored offsets when the others are shifted.
            const std::uint64_t expected =
                item.FullLocalHeaderOffset() + (directory && c.relativeOffsets ? c.prefix : 0);
            EXPECT_TRUE(LocalHeaderAt(bytes, expected, item)) << "entry " << i;
        }
        archiver->Close();
        EXPECT_FALSE(archiver->IsOpen());
        EXPECT_EQ(archiver->DirManager(), nullptr);
        EXPECT_EQ(ReadFileBytes(path), bytes); // reading an archive never writes to it
    }
}

TEST(OpenTest, WellFormedArchiveDetails) {
    auto archiver = LauncherArchiver(Fixture("plain.zip"));
    archiver->Open();
    TZADirManager& dir = *archiver->DirManager();
    const auto size = static_cast<std::int64_t>(ReadFileBytes(Fixture("plain.zip")).size());
    EXPECT_EQ(dir.FindEndRecord(), size - 22);
    EXPECT_EQ(dir.EndRecord.TotalEntries, 4);
    EXPECT_EQ(dir.DirectoryStart, static_cast<std::int64_t>(dir.EndRecord.DirectoryOffset));
    EXPECT_FALSE(dir.IsZip64);
    const TDirItem& big = dir.Items.Item(2);
    EXPECT_EQ(big.Method, 8);
    EXPECT_EQ(big.UncompressedSize, 200000u);
    EXPECT_EQ(big.Crc32, 0x679dc14du);
    EXPECT_EQ(big.ModDate, (44 << 9) | (3 << 5) | 5);
    EXPECT_EQ(big.ModTime, (14 << 11) | (30 << 5) | 21);
    EXPECT_EQ(dir.Items.Item(1).ExternalAttr & kAttrDirectory, kAttrDirectory);
    EXPECT_EQ(dir.Items.IndexOfName(u"DATA/BIG.BIN"), 2);
}

TEST(OpenTest, CommentsAndTheEndRecordNearestTheEnd) {
    std::string comment;
    for (int c = 32; c < 132; ++c)
        comment += static_cast<char>(c);
    auto archiver = LauncherArchiver(Fixture("comment100.zip"));
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->Comment, comment);

    archiver->FileName = Utf8ToWide(Fixture("comment100_stray.zip"));
    archiver->Open(); // a stray byte after the comment: the real directory is still read, comment and all
    EXPECT_EQ(archiver->DirManager()->Comment, comment);
    EXPECT_EQ(archiver->DirManager()->DirectoryStart,
              static_cast<std::int64_t>(archiver->DirManager()->EndRecord.DirectoryOffset));

    archiver->FileName = Utf8ToWide(Fixture("two_end_records.zip"));
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->Comment.substr(0, 5), "note ");
    EXPECT_EQ(archiver->DirManager()->Comment.size(), 5u + 22u + 4u);

    // A complete end record at the very end of a comment is the nearest valid one: an empty archive.
    const std::string path = Fixture("trailing_end_record.zip");
    archiver->FileName = Utf8ToWide(path);
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->Items.Count(), 0);
    EXPECT_EQ(archiver->DirManager()->PrefixSize, static_cast<std::int64_t>(ReadFileBytes(path).size()) - 22);
}

TEST(OpenTest, Zip64RecordsAndExtraBlocks) {
    auto archiver = LauncherArchiver(Fixture("zip64.zip"));
    ASSERT_EQ(archiver->Zip64Mode, TZip64Mode::zmDisabled); // reading does not depend on it
    archiver->Open();
    TZADirManager& dir = *archiver->DirManager();
    EXPECT_TRUE(dir.IsZip64);
    EXPECT_EQ(dir.Zip64EndRecord.TotalEntries, 2u);
    const TDirItem& big = dir.Items.Item(0);
    EXPECT_TRUE(big.HasZip64Info);
    EXPECT_EQ(big.CompressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(big.FullCompressedSize(), 5000u);
    EXPECT_EQ(big.FullUncompressedSize(), 5000u);
    EXPECT_EQ(big.FullLocalHeaderOffset(), 0u);
    EXPECT_EQ(dir.Items.Item(1).FullUncompressedSize(), 6u);

    archiver->FileName = Utf8ToWide(Fixture("short_zip64_extra.zip"));
    archiver->Open();
    const TDirItem& shortBlock = archiver->DirManager()->Items.Item(0);
    EXPECT_TRUE(shortBlock.HasZip64Info);
    EXPECT_EQ(shortBlock.Zip64UncompressedSize, 6u);
    EXPECT_EQ(shortBlock.Zip64CompressedSize, 0u); // the block ends before it

    archiver->FileName = Utf8ToWide(Fixture("short_extra_block.zip"));
    archiver->Open();
    const TDirItem& cut = archiver->DirManager()->Items.Item(0);
    ASSERT_EQ(cut.ExtraFields.size(), 1u);
    EXPECT_EQ(cut.ExtraFields[0].HeaderId, 0x7075);
    EXPECT_EQ(cut.ExtraFields[0].DataSize, 5); // cut to what the extra area holds
    EXPECT_EQ(std::string(cut.ExtraFields[0].Data.begin(), cut.ExtraFields[0].Data.end()),
              std::string("abc\x01\x00", 5));
    archiver->FileName = Utf8ToWide(Fixture("stray_extra_bytes.zip"));
    archiver->Open();
    const TDirItem& stray = archiver->DirManager()->Items.Item(0);
    EXPECT_EQ(stray.ExtraFields.size(), 1u);
    EXPECT_EQ(stray.Comment.str(), "hi"); // the stray bytes after the last block do not shift the comment
}

TEST(OpenTest, ManyEntriesWithoutTheirDescriptorsAreRecoveredInOnePass) {
    auto archiver = LauncherArchiver(Fixture("dd_flood.zip"));
    archiver->Open();
    const TZADirArray& items = archiver->DirManager()->Items;
    ASSERT_EQ(items.Count(), 30000);
    EXPECT_EQ(items.Item(0).Name, u"00000");
    EXPECT_EQ(items.Item(29999).Name, u"29999");
    EXPECT_EQ(items.Item(29999).LocalHeaderOffset, 29999u * 35u);
    EXPECT_EQ(items.Item(29999).ExternalAttr, kAttrArchive); // a descriptor was announced
}

TEST(OpenTest, RecoveredEntriesTakeTheDataDescriptor) {
    auto archiver = LauncherArchiver(Fixture("truncated_cd.zip"));
    archiver->Open();
    const TZADirArray& items = archiver->DirManager()->Items;
    ASSERT_EQ(items.Count(), 3);
    EXPECT_EQ(items.Item(0).ExternalAttr, kAttrArchive);
    EXPECT_EQ(items.Item(1).ExternalAttr, kAttrDirectory); // empty, and no descriptor to say otherwise
    const TDirItem& dd = items.Item(2);
    EXPECT_EQ(dd.ExternalAttr, kAttrArchive);
    EXPECT_EQ(dd.Crc32, 0x5c4019d8u);
    EXPECT_EQ(dd.CompressedSize, 547u);
    EXPECT_EQ(dd.UncompressedSize, 3000u);
    EXPECT_EQ(dd.VersionMadeBy, dd.VersionNeeded);
    EXPECT_EQ(dd.CommentLength, 0);
}

TEST(OpenTest, FailedOpensRaiseAndKeepNothingOpen) {
    struct Case {
        const char* file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty_first_name.zip", "Hashed list of file names is invalid - Native error: 00059"},
        {"page.html", "Invalid archive file. - Native error: 00035"},
        {"empty.zip", "Invalid archive file. - Native error: 00035"},
        // Signatures are found, but none of them starts an acceptable local header.
        {"stray_signatures.zip", "Invalid archive file. - Native error: 00035"},
        {"pk_flood.zip", "Invalid archive file. - Native error: 00035"},
        {"lying_zip64_count.zip", "Invalid archive file. - Native error: 00035"}, // sizes only in Zip64
        {"disk1.zip", "Cannot open archive file. Opening aborted or invalid file - Native error: 00044"},
        {"volume.exe", "Cannot open archive file. Opening aborted or invalid file - Native error: 00044"},
        {"zip64_bad_locator.zip", "Cannot find Zip64 directory end record - Native error: 00040"},
        {"zip64_locator_past_end.zip", "Stream read error"},
    };
    const int descriptors = OpenDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto archiver = LauncherArchiver(Fixture(c.file));
        int opened = 0;
        archiver->AfterOpen = [&](TZABaseArchiver&) { ++opened; };
        try {
            archiver->Open();
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_FALSE(archiver->IsOpen());
        EXPECT_EQ(archiver->ArchiveStream(), nullptr);
        EXPECT_EQ(archiver->DirManager(), nullptr);
        // The file is not held until the next call. Under Wine /proc/self/fd lists Wine's own descriptors,
        // which its threads open and close at their own pace: there the file's sharing tells.
#ifdef _WIN32
        EXPECT_FALSE(pc::test::IsHeldOpen(Fixture(c.file)));
        static_cast<void>(descriptors);
#else
        EXPECT_EQ(OpenDescriptors(), descriptors);
#endif
        EXPECT_EQ(opened, 0);
        archiver->Close();
    }
}

TEST(OpenTest, MissingFileBecomesAnEmptyArchive) {
    TempDir dir;
    const std::string path = dir / "new.zip";
    auto archiver = LauncherArchiver(path);
    int opened = 0;
    archiver->AfterOpen = [&](TZABaseArchiver& sender) {
        EXPECT_EQ(&sender, archiver.get());
        ++opened;
    };
    archiver->Open();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(archiver->OpenMode(), 0xFFFF);
    EXPECT_EQ(archiver->DirManager()->Items.Count(), 0);
    archiver->Close();
    archiver->Close(); // closing twice is harmless
    EXPECT_EQ(ReadFileBytes(path), std::string("PK\x05\x06", 4) + std::string(18, '\0'));

    archiver->Open(); // the empty archive opens as an existing one
    EXPECT_EQ(archiver->OpenMode(), 0x22);
    EXPECT_EQ(archiver->DirManager()->Items.Count(), 0);
    EXPECT_EQ(archiver->DirManager()->PrefixSize, 0);
    archiver->Open(); // opening while open reopens
    EXPECT_TRUE(archiver->IsOpen());
    EXPECT_EQ(opened, 3);
}

TEST(OpenTest, CreatingWithAStubOrInMemory) {
    TempDir dir;
    const std::string stub = dir.Write("stub.bin", std::string(300, 'S'));
    auto archiver = LauncherArchiver(dir / "sfx.zip");
    archiver->SFXStub = Utf8ToWide(stub);
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->PrefixSize, 300);
    archiver->Close();
    EXPECT_EQ(ReadFileBytes(dir / "sfx.zip"), std::string(300, 'S'));

    auto memory = LauncherArchiver("");
    memory->InMemory = true;
    memory->Open();
    EXPECT_EQ(memory->OpenMode(), 0xFFFF);
    EXPECT_NE(dynamic_cast<TMemoryStream*>(memory->ArchiveStream()), nullptr);
    memory->Close();
    EXPECT_FALSE(memory->IsOpen());
}

TEST(OpenTest, FileNameAndModeErrors) {
    TempDir dir;
    auto messageOf = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::string("(no error)");
    };
    auto archiver = LauncherArchiver(dir.Path()); // ends with a separator: no file name
    EXPECT_EQ(messageOf([&] { archiver->Open(); }),
              "ZipArchiver: File name is blank. Specify appropriate file name - Native error: 00009");
    archiver->FileName = u"";
    EXPECT_EQ(messageOf([&] { archiver->OpenInMode(fmOpenRead); }),
              "ZipArchiver: File name is blank. Specify appropriate file name - Native error: 00010");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

    archiver->FileName = Utf8ToWide(dir / "gone.zip");
    EXPECT_EQ(messageOf([&] { archiver->OpenInMode(fmOpenRead | fmShareDenyNone); }),
              "ZipArchiver: File \"" + dir / "gone.zip" + "\" not found - Native error: 00012");
    archiver->Name.clear();
    EXPECT_EQ(messageOf([&] { archiver->OpenInMode(fmOpenRead); }),
              "File \"" + dir / "gone.zip" + "\" not found - Native error: 00012");
    archiver->Name = "ZipArchiver";

    archiver->FileName = Utf8ToWide(Fixture("plain.zip"));
    archiver->InMemory = true;
    EXPECT_EQ(messageOf([&] { archiver->OpenInMode(fmOpenRead); }),
              "ZipArchiver: In-memory archive can be created only - Native error: 00028");
    archiver->InMemory = false;

    archiver->OpenInMode(fmOpenRead | fmShareDenyNone); // an explicit read-only mode
    EXPECT_EQ(archiver->OpenMode(), 0x40);
    EXPECT_EQ(archiver->DirManager()->Items.Count(), 4);
    EXPECT_EQ(messageOf([&] { archiver->SetSpanningMode(TZASpanningMode::smSplitting); }),
              "Cannot set spanning mode on open archive");
    archiver->Close();
    archiver->SetSpanningMode(TZASpanningMode::smSplitting);
    archiver->Open(); // opening an existing file goes back to a single file
    EXPECT_EQ(archiver->SpanningMode(), TZASpanningMode::smNone);
    EXPECT_EQ(archiver->VolumeNumberInfo().Kind, TZAVolumeKind::vkUnknown);
}

TEST(OpenTest, WithoutTolerantOpeningDamageIsReported) {
    struct Case {
        const char* file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"volume.zip", "ZipArchiver: Archive is damaged. Open failed - Native error: 00048"},
        {"claims_big_sizes.zip", "Archive is damaged. Open failed - Native error: 00057"},
        {"lying_cd_size.zip", "Stream read error"},
        {"empty_first_name.zip", "Hashed list of file names is invalid - Native error: 00059"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto archiver = LauncherArchiver(Fixture(c.file));
        archiver->SetRecoverDamagedArchives(false);
        try {
            archiver->Open();
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(archiver->ArchiveStream(), nullptr);
    }
    auto archiver = LauncherArchiver(Fixture("plain.zip"));
    archiver->SetRecoverDamagedArchives(false);
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->Items.Count(), 4);
}

TEST(OpenTest, OemNamesCanBeSwitchedOff) {
    auto archiver = LauncherArchiver(Fixture("cp437.zip"));
    archiver->Options.OEMFileNames = false;
    archiver->Open();
    EXPECT_EQ(archiver->DirManager()->Items.Item(0).Name, u"\u0081ber.txt");
    EXPECT_EQ(archiver->DirManager()->Items.Item(1).Name, u"caf\u201A.txt");
}

TEST(OpenTest, UnflaggedNamesFromUnixHostsReadAsUtf8) {
    struct Case {
        const char* what;
        std::string raw;
        std::uint16_t flags, madeBy;
        std::u16string name;
    };
    const std::vector<Case> cases = {
        {"Unix, UTF-8 without the flag", "\xE6\x97\xA5\xE6\x9C\xAC.txt", 0, 0x031E, u"\u65E5\u672C.txt"},
        {"macOS, UTF-8 without the flag",
         "Gr\xC3\xB6\xC3\x9F"
         "e",
         0, 0x1314, u"Gr\u00F6\u00DFe"},
        {"Unix, emoji", "\xF0\x9F\x98\x80", 0, 0x0314, u"\U0001F600"},
        {"Unix, bytes that are not UTF-8 stay CP437",
         "\x81"
         "ber",
         0, 0x031E, u"\u00FCber"},
        {"Unix, overlong form is not UTF-8", "\xC0\xAF", 0, 0x031E, AnsiToWide(OemToAnsi("\xC0\xAF"))},
        {"DOS host, valid UTF-8 still CP437", "\xC3\xB6", 0, 0x0014, AnsiToWide(OemToAnsi("\xC3\xB6"))},
        {"NTFS host, valid UTF-8 still CP437", "\xC3\xB6", 0, 0x0A14, AnsiToWide(OemToAnsi("\xC3\xB6"))},
        {"flagged, any host", "\xC3\xB6", 0x0800, 0x0014, u"\u00F6"},
        {"ASCII from Unix", "plain.txt", 0, 0x031E, u"plain.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeEntryName(c.raw, c.flags, c.madeBy, true), c.name) << c.what;
}

} // namespace
} // namespace pc
