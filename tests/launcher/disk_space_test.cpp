// Sizes that a patch's directory claims are summed without wrapping: however large the claims, the
// patch is refused before anything is written.
#include "launcher/apply/disk_space.h"

#include "archive/zip_archiver.h"
#include "framework/code_pages.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// An entry whose Zip64 extra field claims 2^62 bytes.
pc::test::ZipEntryDef HugeClaim(const std::string& name) {
    pc::test::ZipEntryDef entry;
    entry.name = name;
    entry.data = "x";
    entry.versionNeeded = 45;
    entry.centralUncompressedSize = 0xFFFFFFFFu;
    entry.centralExtra = std::string("\x01\x00\x08\x00", 4);
    const std::uint64_t claim = std::uint64_t{1} << 62;
    for (int i = 0; i < 8; ++i)
        entry.centralExtra += static_cast<char>((claim >> (8 * i)) & 0xFF);
    return entry;
}

TEST(DiskSpace, ClaimsBeyondAnyDiskAreRefusedHoweverMany) {
    for (int count : {3, 4, 5, 8}) {
        pc::test::TempDir dir;
        pc::test::ZipBuilder builder;
        for (int i = 0; i < count; ++i)
            builder.Add(HugeClaim("f" + std::to_string(i)));
        std::ofstream(dir / "p.zip", std::ios::binary) << builder.Build();
        pc::TZipArchiver zip;
        zip.FileName = pc::Utf8ToWide(dir / "p.zip");
        zip.OpenInMode(pc::fmOpenRead | pc::fmShareDenyNone);
        zip.BaseDir = pc::Utf8ToWide(dir.Path());
        EXPECT_THROW(pc::RequireDiskSpace(dir.Path(), pc::ExtractionGrowth(zip)), pc::ENotEnoughSpace)
            << count << " entries";
        zip.Close();
    }
}

} // namespace
