// Opening arbitrary bytes as an archive, walking its directory and decoding every entry's data.
#include "fuzz/fuzz_target.h"

#include "archive/decode.h"
#include "archive/zip_archiver.h"
#include "archive/zip_records.h"
#include "framework/exceptions.h"

#include <algorithm>

namespace pc::fuzz {
namespace {

// Feeds one entry's data from the archive stream and discards what comes out.
class SinkHost : public TZADecodeHost {
public:
    explicit SinkHost(TStream& stream) : stream_(stream) {}
    bool ReadData(std::uint8_t* buffer, std::size_t size) override {
        return stream_.Read(buffer, static_cast<std::int64_t>(size)) == static_cast<std::int64_t>(size);
    }
    bool WriteOutput(const std::uint8_t*, std::size_t size) override {
        written += size;
        return true;
    }
    bool Progress(std::uint64_t, std::uint64_t) override { return false; }
    bool AskPassword(std::string&) override { return false; }
    std::uint64_t written = 0;

private:
    TStream& stream_;
};

void DecodeAll(TZipArchiver& zip) {
    TStream& stream = *zip.ArchiveStream();
    TZADirArray& items = zip.DirManager()->Items;
    const std::int64_t size = stream.Size();
    for (std::int32_t i = 0; i < std::min(items.Count(), 256); ++i) {
        const TDirItem& item = items.Item(i);
        const std::uint64_t offset = item.FullLocalHeaderOffset();
        if (item.Method == 9 || offset > static_cast<std::uint64_t>(size) - TZALocalHeader::kSize)
            continue;
        std::uint8_t raw[TZALocalHeader::kSize];
        stream.SetPosition(static_cast<std::int64_t>(offset));
        stream.ReadBuffer(raw, sizeof raw);
        const TZALocalHeader local = TZALocalHeader::Parse(raw);
        const std::int64_t data =
            static_cast<std::int64_t>(offset) + 30 + local.NameLength + local.ExtraLength;
        if (data > size)
            continue;
        stream.SetPosition(data);
        TZADecodeParams params;
        params.method = item.Method;
        params.versionNeeded = item.VersionNeeded;
        params.enciphered = (item.Flags & kFlagEncrypted) != 0;
        params.checkByte = PasswordCheckByte(local.Flags, local.ModTime, local.Crc32);
        params.compressedSize = std::min<std::uint64_t>(item.FullCompressedSize(), size - data);
        params.uncompressedSize = item.FullUncompressedSize();
        std::string password;
        SinkHost host(stream);
        const TZADecodeResult result = DecodeEntryData(params, password, host);
        FUZZ_CHECK(result.bytesWritten == host.written);
        FUZZ_CHECK(result.bytesWritten <= params.uncompressedSize);
        FUZZ_CHECK(result.bytesRead <= params.compressedSize);
    }
}

int Run(const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchDir() + "patch.zip";
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
    TZipArchiver zip;
    zip.FileName = std::u16string(path.begin(), path.end());
    try {
        zip.Open();
    } catch (const Exception&) {
        FUZZ_CHECK(!zip.IsOpen());
        return 0;
    }
    FUZZ_CHECK(zip.IsOpen());
    TZADirArray& items = zip.DirManager()->Items;
    for (std::int32_t i = 0; i < items.Count(); ++i) {
        const TDirItem& item = items.Item(i);
        FUZZ_CHECK(item.ExtraFields.size() <= static_cast<std::size_t>(item.ExtraLength / 4 + 1));
        for (const ExtraField& field : item.ExtraFields)
            FUZZ_CHECK(field.Data.size() == field.DataSize);
        (void)items.IndexOfName(item.Name);
    }
    try {
        DecodeAll(zip);
    } catch (const EReadError&) {
    }
    zip.Close();
    FUZZ_CHECK(!zip.IsOpen());
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(archive, pc::fuzz::Run)
