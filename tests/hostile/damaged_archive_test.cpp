// Damaged and hostile layouts opened and extracted in-process, as the launcher does it, with every failure
// dialog answered Ignore: overlapping entries are refused, and no truncation or single-byte corruption of a
// small archive's headers crashes, hangs, writes outside the base directory or yields a file whose content
// is not one of the archive's own.
#include "archive/code_pages.h"
#include "archive/zip_archiver.h"
#include "framework/exceptions.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace {

namespace fs = std::filesystem;
using pc::test::ReadFileBytes;
using pc::test::TempDir;
using pc::test::ZipBuilder;

class IgnoringDialogs : public pc::TZADialogProvider {
public:
    pc::TZADialogAnswer ShowFailureDialog(const std::string& text, pc::TZAFailureButtons) override {
        failures.push_back(text);
        return pc::daIgnore;
    }
    pc::TZADialogAnswer ShowOverwriteDialog(const std::string&) override { return pc::daYes; }
    std::optional<std::string> ShowPasswordDialog(const std::string&, const std::string&,
                                                  const std::string&) override {
        return std::nullopt;
    }
    std::vector<std::string> failures;
};

struct Outcome {
    bool opened = false;
    std::string error;                        // what left Open or ExtractMatching
    std::vector<std::string> failures;        // failure dialogs, in order
    std::map<std::string, std::string> files; // path under the base directory -> content
    std::set<std::string> outside;            // anything that appeared beside the base directory
};

// Extracts `bytes` as the launcher's update run does, into a fresh sandbox.
Outcome Extract(const std::string& bytes) {
    TempDir sandbox;
    const std::string archive = sandbox.Write("patch.zip", bytes);
    fs::create_directory(sandbox / "base");
    Outcome out;
    IgnoringDialogs dialogs;
    {
        pc::TZipArchiver zip;
        zip.DialogProvider = &dialogs;
        zip.FileName = pc::Utf8ToWide(archive);
        try {
            zip.Open();
            out.opened = true;
            zip.BaseDir = pc::Utf8ToWide(sandbox / "base/");
            zip.ExtractMatching(u"*.*", pc::kZAEveryAttribute, u"");
        } catch (const pc::Exception& e) {
            out.error = e.Message();
        }
    }
    out.failures = dialogs.failures;
    for (const auto& entry : fs::recursive_directory_iterator(sandbox / "base")) {
        EXPECT_FALSE(entry.is_symlink()) << entry.path();
        if (entry.is_regular_file())
            out.files[fs::relative(entry.path(), sandbox / "base").string()] = ReadFileBytes(entry.path());
    }
    for (const auto& entry : fs::directory_iterator(sandbox.Path()))
        if (entry.path().filename() != "base" && entry.path().filename() != "patch.zip")
            out.outside.insert(entry.path().filename().string());
    return out;
}

std::uint32_t Get32(const std::string& s, std::size_t at) {
    return static_cast<std::uint8_t>(s[at]) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 3])) << 24;
}

void Set32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k)
        s[at + static_cast<std::size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
}

// Positions of every central header in a built archive.
std::vector<std::size_t> CentralHeaders(const std::string& zip) {
    std::vector<std::size_t> at;
    for (std::size_t p = zip.find("PK\x01\x02"); p != std::string::npos; p = zip.find("PK\x01\x02", p + 1))
        at.push_back(p);
    return at;
}

const std::string kOverlapError = "Native error: 00008";

TEST(OverlappingEntries, SeveralEntriesOverOneStreamAreAllRefused) {
    // Three central entries share the first one's local header and data: the layout that lets a small
    // archive claim the same gigabytes many times over.
    const std::string zeros(1 << 20, '\0');
    std::string zip = ZipBuilder()
                          .Deflated("a.bin", zeros)
                          .Deflated("b.bin", zeros)
                          .Deflated("c.bin", zeros)
                          .Stored("own.txt", "its own bytes")
                          .Build();
    const auto central = CentralHeaders(zip);
    ASSERT_EQ(central.size(), 4u);
    for (std::size_t k = 1; k < 3; ++k)
        Set32(zip, central[k] + 42, Get32(zip, central[0] + 42));

    const Outcome out = Extract(zip);
    ASSERT_TRUE(out.opened) << out.error;
    ASSERT_EQ(out.failures.size(), 3u);
    for (const auto& text : out.failures)
        EXPECT_NE(text.find(kOverlapError), std::string::npos) << text;
    EXPECT_EQ(out.files, (std::map<std::string, std::string>{{"own.txt", "its own bytes"}}));
}

TEST(OverlappingEntries, AnEntryWhoseDataRunsOverTheNextHeaderIsRefusedWithIt) {
    // The first entry's stored size is stretched over the second entry: both claim the second's bytes.
    std::string zip = ZipBuilder()
                          .Stored("first.txt", "first")
                          .Stored("second.txt", "second")
                          .Stored("third.txt", "third")
                          .Build();
    const auto central = CentralHeaders(zip);
    // With sizes and CRC to match, the first entry would extract cleanly, the second's header inside it.
    const std::size_t dataStart = 30 + 9;
    const std::size_t thirdHeader = Get32(zip, central[2] + 42);
    const std::string claimed = zip.substr(dataStart, thirdHeader - dataStart);
    Set32(zip, central[0] + 16, pc::test::CrcOf(claimed));
    Set32(zip, central[0] + 20, static_cast<std::uint32_t>(claimed.size()));
    Set32(zip, central[0] + 24, static_cast<std::uint32_t>(claimed.size()));

    const Outcome out = Extract(zip);
    ASSERT_TRUE(out.opened) << out.error;
    ASSERT_EQ(out.failures.size(), 2u);
    EXPECT_EQ(out.files, (std::map<std::string, std::string>{{"third.txt", "third"}}));
}

TEST(OverlappingEntries, DirectoriesOfAPrefixedArchiveClaimNoBytes) {
    // After data was prepended, file offsets move past the prefix but directory offsets stay: they point
    // into other entries' bytes and must not make those entries look overlapped.
    const std::string zip = ZipBuilder()
                                .Prefix(std::string(1000, 'x'))
                                .Stored("one.txt", std::string(600, '1'))
                                .Directory("dir/")
                                .Deflated("dir/two.txt", std::string(3000, '2'))
                                .Build();
    const Outcome out = Extract(zip);
    ASSERT_TRUE(out.opened) << out.error;
    for (const auto& text : out.failures)
        ADD_FAILURE() << text;
    ASSERT_EQ(out.files.size(), 2u);
    EXPECT_TRUE(out.files.at("one.txt") == std::string(600, '1'));
    EXPECT_TRUE(out.files.at("dir/two.txt") == std::string(3000, '2'));
}

// A small archive with a stored, a deflated, a directory and an empty entry.
std::string SmallArchive() {
    return ZipBuilder()
        .Stored("plain.txt", "stored content\n")
        .Deflated("dir/packed.txt", std::string(400, 'p') + "end")
        .Directory("dir/")
        .Stored("empty.txt", "")
        .Build();
}

// Every extracted file holds one of the archive's contents, whatever name the damage gave it.
void ExpectOnlyOwnContents(const Outcome& out, const std::string& where) {
    static const std::set<std::string> contents = {"stored content\n", std::string(400, 'p') + "end", ""};
    EXPECT_TRUE(out.outside.empty()) << where;
    for (const auto& [name, content] : out.files)
        EXPECT_TRUE(contents.count(content)) << where << ": " << name << " holds foreign bytes";
}

TEST(DamagedArchives, EveryTruncationEndsCleanly) {
    const std::string zip = SmallArchive();
    for (std::size_t length = 0; length <= zip.size(); ++length) {
        const Outcome out = Extract(zip.substr(0, length));
        ExpectOnlyOwnContents(out, "length " + std::to_string(length));
        if (length == zip.size()) {
            EXPECT_EQ(out.files.size(), 3u);
            EXPECT_TRUE(out.failures.empty());
        }
    }
}

TEST(DamagedArchives, EverySingleByteCorruptionOfTheHeadersEndsCleanly) {
    const std::string zip = SmallArchive();
    // The header bytes: every local header with its name, every central header with its name, the end
    // record. Data bytes are left alone: the CRC guards those.
    std::vector<std::size_t> positions;
    for (std::size_t p = zip.find("PK\x03\x04"); p != std::string::npos; p = zip.find("PK\x03\x04", p + 1)) {
        const std::size_t n = static_cast<std::uint8_t>(zip[p + 26]) | static_cast<std::uint8_t>(zip[p + 27])
                                                                           << 8;
        for (std::size_t k = 0; k < 30 + n; ++k)
            positions.push_back(p + k);
    }
    for (std::size_t p = zip.find("PK\x01\x02"); p < zip.size(); ++p)
        positions.push_back(p);

    for (const std::size_t at : positions) {
        for (const int change : {0x00, 0xFF, 0x01, 0x80}) {
            std::string damaged = zip;
            damaged[at] = static_cast<char>(change == 0x00 || change == 0xFF ? change : damaged[at] ^ change);
            if (damaged == zip)
                continue;
            ExpectOnlyOwnContents(Extract(damaged),
                                  "byte " + std::to_string(at) + " set with " + std::to_string(change));
        }
    }
}

TEST(LongDirectories, ManyEntriesOfOneNameAreIndexedAndFreed) {
    // Every entry of one name lands in one hash chain; freeing that chain must not take the stack down.
    pc::TZADirArray items;
    items.SetCount(300000);
    for (std::int32_t i = 0; i < items.Count(); ++i)
        items.SetItemName(i, u"same.txt");
    EXPECT_EQ(items.IndexOfName(u"SAME.TXT"), items.Count() - 1);
}

} // namespace
