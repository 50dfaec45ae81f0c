// The component's object model: entry array and name index, name decoding, streams and settings.
#include "archive/code_pages.h"
#include "archive/dir_items.h"
#include "archive/streams.h"
#include "archive/zip_archiver.h"
#include "launcher/archiver_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pc {
namespace {

std::int32_t NativeErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EZAException& e) {
        return e.NativeError;
    }
    return -1;
}

TEST(DirArrayTest, GrowsInDoublingStepsUpToTenThousand) {
    TZADirArray array;
    const std::vector<std::pair<std::int32_t, std::int32_t>> steps = {
        {1, 1000}, {1000, 1000}, {1001, 3000}, {3001, 7000}, {7001, 15000}, {15001, 25000}, {25001, 35000}};
    for (auto [count, allocated] : steps) {
        array.SetCount(count);
        EXPECT_EQ(array.Count(), count);
        EXPECT_EQ(array.Allocated(), allocated) << "count " << count;
    }
    TZADirArray big;
    big.SetCount(5000); // a request beyond one step is allocated exactly
    EXPECT_EQ(big.Allocated(), 5000);
}

TEST(DirArrayTest, ShrinkingKeepsTheAllocationAndZeroFreesIt) {
    TZADirArray array;
    array.SetCount(3);
    array.Item(2).ExtraFields.push_back(ExtraField{0x7075, 2, {1, 2}});
    array.Item(2).Crc32 = 77;
    array.SetCount(2);
    EXPECT_EQ(array.Allocated(), 1000);
    array.SetCount(3); // an entry that comes back starts empty
    EXPECT_EQ(array.Item(2).Crc32, 0u);
    EXPECT_TRUE(array.Item(2).ExtraFields.empty());
    array.SetCount(0);
    EXPECT_EQ(array.Allocated(), 0);
    EXPECT_EQ(array.Count(), 0);
}

TEST(DirArrayTest, OutOfBoundsAccessRaisesItsOwnCode) {
    TZADirArray array;
    array.SetCount(2);
    array.SetItemName(0, u"a");
    array.SetItemName(1, u"b");
    for (std::int32_t bad : {-1, 2}) {
        EXPECT_EQ(NativeErrorOf([&] { array.Put(bad, TDirItem()); }), 1);
        EXPECT_EQ(NativeErrorOf([&] { (void)array.Get(bad); }), 2);
        EXPECT_EQ(NativeErrorOf([&] { (void)array.Item(bad); }), 3);
        EXPECT_EQ(NativeErrorOf([&] { array.Delete(bad); }), 4);
    }
    try {
        (void)array.Item(5);
    } catch (const EZAException& e) {
        EXPECT_EQ(e.Message(), "Index out of bounds - Native error: 00003");
    }
}

TEST(DirArrayTest, NameLookupIgnoresCaseAndFindsTheLaterOfTwo) {
    TZADirArray array;
    array.SetCount(3);
    array.SetItemName(0, u"Data/Readme.TXT");
    array.SetItemName(1, u"data/readme.txt");
    array.SetItemName(2, u"\u00C4RGER.dat");
    EXPECT_EQ(array.Item(0).Name, u"Data/Readme.TXT"); // both entries keep their own spelling
    EXPECT_EQ(array.IndexOfName(u"DATA/README.txt"), 1);
    EXPECT_EQ(array.IndexOfName(u"\u00E4rger.DAT"), 2);
    EXPECT_EQ(array.IndexOfName(u"missing"), -1);
    array.SetItemName(2, u"renamed.dat"); // renaming an entry replaces its key in place
    EXPECT_EQ(array.IndexOfName(u"\u00E4rger.dat"), -1);
    EXPECT_EQ(array.IndexOfName(u"RENAMED.DAT"), 2);
    array.Delete(0);
    EXPECT_EQ(array.IndexOfName(u"renamed.dat"), 1);
}

TEST(DirArrayTest, AnEmptyNameFollowedByAnotherNameIsAnInvalidIndex) {
    TZADirArray array;
    array.SetCount(2);
    array.SetItemName(0, u"");
    try {
        array.SetItemName(1, u"b.txt");
        FAIL() << "no error";
    } catch (const EZAException& e) {
        EXPECT_EQ(e.NativeError, 59);
        EXPECT_EQ(e.Message(), "Hashed list of file names is invalid - Native error: 00059");
    }
}

TEST(DirArrayTest, StoringBeyondTheNameIndexRaises58) {
    TZADirArray array;
    array.SetCount(2);
    array.SetItemName(0, u"a");
    EXPECT_EQ(NativeErrorOf([&] { array.Put(1, TDirItem()); }), 58);
    TDirItem replacement;
    replacement.Name = u"Z.bin";
    array.Put(0, replacement);
    EXPECT_EQ(array.IndexOfName(u"z.BIN"), 0);
}

TEST(NameIndexTest, HashIsBuiltLazilyAndDroppedWhenChainsGrowLong) {
    TZAHashedStringList list;
    list.Add(u"a");
    EXPECT_FALSE(list.HashValid());
    EXPECT_EQ(list.IndexOf(u"a"), 0);
    EXPECT_EQ(list.HashBucketCount(), 1000u);
    for (int i = 1; i <= 5000; ++i)
        list.Add(u"n" + std::u16string(1, static_cast<char16_t>(0x100 + i)));
    EXPECT_FALSE(list.HashValid()); // 5001 strings in 1000 buckets
    EXPECT_EQ(list.IndexOf(u"n" + std::u16string(1, static_cast<char16_t>(0x100 + 4000))), 4000);
    EXPECT_EQ(list.HashBucketCount(), 5001u);
}

TEST(NameIndexTest, OneLongChainIsLookedUpWithTheLatestEqualKeyWinning) {
    std::vector<std::u16string> keys(1000000, u"k");
    keys.push_back(u"x");
    TZAStringHash hash(1, keys); // every key in the same chain
    for (std::int32_t i = 0; i <= 1000000; ++i)
        hash.Add(i);
    EXPECT_EQ(hash.ValueOf(u"k"), 999999);
    EXPECT_EQ(hash.ValueOf(u"x"), 1000000);
    EXPECT_EQ(hash.ValueOf(u"other"), -1);
    hash.Remove(999999);
    EXPECT_EQ(hash.ValueOf(u"k"), 999998);
}

// Names made for the rotate-and-xor hash: characters 16 apart share a rotation, so changing both alike
// keeps its value. 4096 such names all shared one chain there.
std::vector<std::u16string> RotateXorCollisions(int count) {
    std::vector<std::u16string> names;
    for (int k = 0; k < count; ++k) {
        std::u16string name(32, u'a');
        for (int bit = 0; bit < 16; ++bit)
            if (k & (1 << bit))
                name[bit] = name[bit + 16] = u'b';
        names.push_back(name);
    }
    return names;
}

TEST(NameIndexTest, NamesCraftedToCollideSpreadOverTheBuckets) {
    const std::vector<std::u16string> names = RotateXorCollisions(4096);
    std::vector<int> perBucket(1000);
    for (const std::u16string& name : names)
        ++perBucket[TZAStringHash::HashOf(name) % perBucket.size()];
    // About four per bucket on average; a keyed hash leaves no bucket with a long chain.
    EXPECT_LE(*std::max_element(perBucket.begin(), perBucket.end()), 20);

    TZAHashedStringList list;
    for (const std::u16string& name : names)
        list.Add(name);
    for (std::size_t i = 0; i < names.size(); i += 97)
        EXPECT_EQ(list.IndexOf(names[i]), static_cast<std::int32_t>(i));
}

TEST(NameIndexTest, RenamingWhileHashedKeepsEveryLookup) {
    TZAHashedStringList list;
    for (int i = 0; i < 3000; ++i)
        list.Add(u"n" + std::u16string(1, static_cast<char16_t>(0x100 + i)));
    ASSERT_EQ(list.IndexOf(u"n\u0100"), 0);
    list.Put(5, u"renamed");
    list.Put(7, u"n\u0100"); // now equal to position 0: the later position wins
    EXPECT_TRUE(list.HashValid());
    EXPECT_EQ(list.IndexOf(u"renamed"), 5);
    EXPECT_EQ(list.IndexOf(u"n\u0105"), -1);
    EXPECT_EQ(list.IndexOf(u"n\u0100"), 7);
    list.Put(7, u"again");
    EXPECT_EQ(list.IndexOf(u"n\u0100"), 0);
    EXPECT_EQ(list.IndexOf(u"again"), 7);
}

TEST(UnicodeNameBlockTest, AcceptsOnlyItsSignatureAndNeverReadsPastItsData) {
    auto block = [](const char* sig, std::int32_t count, std::u16string text) {
        std::vector<std::uint8_t> data(sig, sig + 4);
        for (int i = 0; i < 4; ++i)
            data.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> (8 * i)));
        for (char16_t c : text) {
            data.push_back(static_cast<std::uint8_t>(c));
            data.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return data;
    };
    struct Case {
        std::vector<std::uint8_t> data;
        bool accepted;
        std::u16string name;
    };
    const std::vector<Case> cases = {
        {block("NUCX", 3, u"\u0436ab"), true, u"\u0436ab"},
        {block("NUCX", 2, u"abcd"), true, u"ab"},
        {block("NUCX", 1000, u"abc"), true, u"abc"}, // the count runs past the data
        {block("NUCX", -5, u"abc"), true, u""},
        {block("NUCY", 3, u"abc"), false, u""},
        {std::vector<std::uint8_t>{'N', 'U', 'C', 'X', 3, 0}, false, u""}, // too short for the count
    };
    for (const Case& c : cases) {
        TUnicodeExtendedInfo info;
        EXPECT_EQ(info.Parse(c.data.data(), c.data.size()), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(info.Name, c.name);
        }
    }
}

TEST(NameDecodingTest, StoredNamesByFlagAndCodePage) {
    struct Case {
        std::string raw;
        bool utf8;
        bool oem;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {"plain/name.txt", false, true, u"plain/name.txt"},
        {"\x81"
         "ber.txt",
         false, true, u"\u00FCber.txt"},
        // Line drawing has no ANSI form: the system's best fits, the double vertical's a broken bar.
        {"\xC9\xCD\xBB\xBA", false, true, u"+-+\u00A6"},
        {"\x9F\xE1\xE0", false, true, u"\u0192\u00DFa"}, // f-hook passes through ANSI 0x83
        {"\x81"
         "ber.txt",
         false, false, u"\u0081ber.txt"}, // taken as ANSI: an unassigned byte
        {"\x80\x9F", false, false, u"\u20AC\u0178"},
        {std::string("cut\0after", 9), false, true, u"cut"},
        {"\xC3\xBC"
         "ber",
         true, true, u"\u00FCber"},
        {"\xF0\x9F\x98\x80", true, true, u"\U0001F600"},
        {"a\xFF"
         "b",
         true, true, u"a\uFFFDb"},
        {"\xE2\x82", true, true, u"\uFFFD"},                 // truncated sequence: one replacement
        {"\xC0\x80", true, true, u"\uFFFD\uFFFD"},           // overlong form
        {"\xED\xA0\x80", true, true, u"\uFFFD\uFFFD\uFFFD"}, // encoded surrogate
        {"\xF4\x90\x80\x80", true, true, u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(DecodeStoredName(c.raw, c.utf8, c.oem), c.expected);
    }
}

TEST(NameDecodingTest, FileSystemNamesAreUtf8AndCaseMappingCoversLetters) {
    EXPECT_EQ(WideToUtf8(u"\u00FC/\u65E5\U0001F600"), "\xC3\xBC/\xE6\x97\xA5\xF0\x9F\x98\x80");
    EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(WideToAnsi(u"\u20ACa\u0436"), "\x80"
                                            "a?");
    EXPECT_EQ(WideLowerCase(u"ABC \u00C4\u00D6\u00DC \u0416\u03A3"), u"abc \u00E4\u00F6\u00FC \u0436\u03C3");
    EXPECT_EQ(WideUpperCase(u"abc \u00E4"), u"ABC \u00C4");
}

TEST(StreamTest, NullStreamAcceptsEverythingAndMovesNothing) {
    TNullStream sink;
    char byte = 'x';
    EXPECT_EQ(sink.Write(&byte, 1000), 1000);
    EXPECT_EQ(sink.Read(&byte, 5), 5);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(sink.Seek(400, TSeekOrigin::soBeginning), 0);
    sink.SetSize(10);
    EXPECT_EQ(sink.Size(), 0);
}

TEST(StreamTest, ExactReadsRaiseTheStreamReadError) {
    TMemoryStream memory;
    memory.WriteBuffer("abc", 3);
    memory.SetPosition(1);
    char buffer[4] = {};
    try {
        memory.ReadBuffer(buffer, 3);
        FAIL() << "short read accepted";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
    memory.SetPosition(0);
    memory.ReadBuffer(buffer, 3);
    EXPECT_STREQ(buffer, "abc");
    try {
        TFileStream missing("/nonexistent-dir/x.zip", fmOpenRead);
        FAIL() << "opened";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file /nonexistent-dir/x.zip");
    }
    try {
        TFileStream uncreatable("/nonexistent-dir/x.zip", fmCreate);
        FAIL() << "created";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file /nonexistent-dir/x.zip");
    }
}

TEST(SettingsTest, ConstructorValues) {
    TZABaseArchiver base;
    TZipArchiver zip;
    EXPECT_EQ(base.Zip64Mode, TZip64Mode::zmAuto);
    EXPECT_EQ(zip.Zip64Mode, TZip64Mode::zmDisabled);
    EXPECT_EQ(zip.CompressionLevel(), TZACompressionLevel::clFastest);
    EXPECT_EQ(zip.CompressionMode(), 1);
    EXPECT_EQ(zip.CompressionMethod(), 8);
    EXPECT_EQ(zip.SpanningMode(), TZASpanningMode::smNone);
    EXPECT_EQ(zip.CurrentVersion(), u"3.01 ");
    EXPECT_TRUE(zip.UnicodeFilenames);
    EXPECT_FALSE(zip.InMemory);
    EXPECT_FALSE(zip.ExtractCorruptedFiles);
    EXPECT_TRUE(zip.RecoverDamagedArchives());
    EXPECT_FALSE(zip.IsOpen());
    const TZAOptions& o = zip.Options;
    EXPECT_EQ(o.StorePath, TZAStorePathMode::spRelativePath);
    EXPECT_TRUE(o.Recurse && o.CreateDirs && o.ReplaceReadOnly && o.SetAttributes && o.FlushBuffers &&
                o.OEMFileNames);
    EXPECT_EQ(o.ShareMode, TZAFileShareMode::smShareDenyNone);
    EXPECT_EQ(o.OverwriteMode, TZAOverwriteMode::omAlways);
    EXPECT_EQ(o.SearchAttr, 0x28BFu);
    EXPECT_TRUE(zip.SpanningOptions.AdvancedNaming);
    EXPECT_EQ(zip.SpanningOptions.VolumeSize, TZAVolumeSize::vsAutoDetect);
    EXPECT_EQ(zip.SpanningOptions.CustomVolumeSize(), 0);
    zip.SpanningOptions.SetCustomVolumeSize(100);
    EXPECT_EQ(zip.SpanningOptions.CustomVolumeSize(), 65536);
    EXPECT_EQ(zip.VolumeNumberInfo().Kind, TZAVolumeKind::vkUnknown);
    EXPECT_EQ(zip.VolumeNumberInfo().VolumeNumber, -1);
}

TEST(SettingsTest, CompressionLevelAndModeFollowEachOther) {
    TZipArchiver zip;
    const std::vector<std::pair<int, TZACompressionLevel>> modes = {
        {0, TZACompressionLevel::clNone},    {1, TZACompressionLevel::clFastest},
        {3, TZACompressionLevel::clFastest}, {4, TZACompressionLevel::clNormal},
        {6, TZACompressionLevel::clNormal},  {7, TZACompressionLevel::clMax},
        {9, TZACompressionLevel::clMax}};
    for (auto [mode, level] : modes) {
        zip.SetCompressionMode(mode);
        EXPECT_EQ(zip.CompressionLevel(), level) << "mode " << mode;
    }
    EXPECT_EQ(zip.CompressionMethod(), 8);
    const std::vector<std::pair<TZACompressionLevel, int>> levels = {{TZACompressionLevel::clNone, 0},
                                                                     {TZACompressionLevel::clFastest, 1},
                                                                     {TZACompressionLevel::clNormal, 6},
                                                                     {TZACompressionLevel::clMax, 9}};
    for (auto [level, mode] : levels) {
        zip.SetCompressionLevel(level);
        EXPECT_EQ(zip.CompressionMode(), mode);
    }
    EXPECT_EQ(zip.CompressionMethod(), 8);
    zip.SetCompressionLevel(TZACompressionLevel::clNone);
    EXPECT_EQ(zip.CompressionMethod(), 0);
    zip.Name = "ZipArchiver";
    try {
        zip.SetCompressionMode(10);
        FAIL() << "mode 10 accepted";
    } catch (const EZAException& e) {
        EXPECT_EQ(e.Message(),
                  "ZipArchiver: Invalid compression mode. Mode must be in [0-9] range - Native error: 00005");
    }
    EXPECT_EQ(zip.CompressionMode(), 0);
}

TEST(SettingsTest, VolumeNumberInfo) {
    TZAVolumeNumberInfo info;
    info.LastVolumeNumber = 4;
    info.SetFirst();
    EXPECT_EQ(info.VolumeNumber, 0);
    info.SetLast();
    EXPECT_EQ(info.VolumeNumber, 4);
    EXPECT_EQ(info.Kind, TZAVolumeKind::vkLast);
    info.SetCustom(2);
    EXPECT_EQ(info.VolumeNumber, 2);
    info.Reset();
    EXPECT_EQ(info.Kind, TZAVolumeKind::vkUnknown);
    EXPECT_EQ(info.VolumeNumber, -1);
    EXPECT_EQ(info.LastVolumeNumber, -1);
}

TEST(SettingsTest, LauncherSettingsNameTheComponentAndKeepItsDefaults) {
    TZipArchiver zip;
    zip.Zip64Mode = TZip64Mode::zmAlways;
    zip.Options.OEMFileNames = false;
    zip.SetCompressionMode(9);
    ApplyLauncherArchiverSettings(zip);
    EXPECT_EQ(zip.Name, "ZipArchiver");
    EXPECT_EQ(zip.Zip64Mode, TZip64Mode::zmDisabled);
    EXPECT_TRUE(zip.Options.OEMFileNames);
    EXPECT_TRUE(zip.Options.FlushBuffers);
    EXPECT_EQ(zip.CompressionLevel(), TZACompressionLevel::clFastest);
    EXPECT_EQ(zip.CompressionMode(), 1);
    EXPECT_EQ(zip.SpanningMode(), TZASpanningMode::smNone);
    EXPECT_FALSE(zip.InMemory);
    EXPECT_FALSE(zip.ExtractCorruptedFiles);
    EXPECT_TRUE(zip.UnicodeFilenames);
    EXPECT_EQ(zip.Options.OverwriteMode, TZAOverwriteMode::omAlways);
}

} // namespace
} // namespace pc
