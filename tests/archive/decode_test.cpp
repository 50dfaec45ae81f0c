// The decoding engine on bytes made here: stored, deflated, encrypted and block-format data.
#include "archive/decode.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

// Raw deflate data (no zlib header or trailer), as ZIP stores it.
Bytes RawDeflate(const Bytes& data, int level = 6) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&s, data.size()) + 16);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

Bytes WithTail(Bytes data, std::size_t extra) {
    for (std::size_t i = 0; i < extra; ++i)
        data.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return data;
}

// A complete zlib stream, as one compressed block of the block format.
Bytes ZlibStream(const Bytes& data) {
    uLongf size = compressBound(data.size());
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, data.data(), data.size()), Z_OK);
    out.resize(size);
    return out;
}

std::uint32_t Crc(const Bytes& data) {
    return pc::ZipCrc32(0, data.data(), data.size());
}

// A host over an in-memory archive slice with a recording output.
class FakeHost : public pc::TZADecodeHost {
public:
    explicit FakeHost(Bytes input) : input_(std::move(input)) {}

    bool ReadData(std::uint8_t* buffer, std::size_t size) override {
        if (size > input_.size() - position_)
            return false;
        std::memcpy(buffer, input_.data() + position_, size);
        position_ += size;
        return true;
    }
    bool WriteOutput(const std::uint8_t* data, std::size_t size) override {
        largestWrite = std::max(largestWrite, size);
        if (output.size() + size > capacity)
            return false;
        output.insert(output.end(), data, data + size);
        return true;
    }
    bool Progress(std::uint64_t bytesRead, std::uint64_t) override {
        progressCalls.push_back(bytesRead);
        return progressCalls.size() > cancelAfterProgress;
    }
    bool AskPassword(std::string& password) override {
        ++passwordPrompts;
        if (passwords.empty())
            return false;
        password = passwords.front();
        passwords.pop_front();
        return true;
    }

    Bytes output;
    std::size_t capacity = SIZE_MAX;
    std::size_t largestWrite = 0;
    std::size_t cancelAfterProgress = SIZE_MAX;
    std::vector<std::uint64_t> progressCalls;
    std::deque<std::string> passwords;
    int passwordPrompts = 0;
    std::size_t position_ = 0;

private:
    Bytes input_;
};

pc::TZADecodeParams Params(std::uint16_t method, std::size_t compressed, std::size_t uncompressed) {
    pc::TZADecodeParams p;
    p.method = method;
    p.versionNeeded = 20;
    p.compressedSize = compressed;
    p.uncompressedSize = uncompressed;
    return p;
}

TEST(DecodeEngine, StoredAndDeflatedEntriesComeOutAsTheyWent) {
    const Bytes text = ToBytes("The quick brown fox jumps over the lazy dog. The quick brown fox.\n");
    struct Case {
        const char* what;
        std::uint16_t method;
        Bytes stored;
        Bytes expected;
    } cases[] = {
        {"stored", 0, text, text},
        {"deflated", 8, RawDeflate(text), text},
        {"stored empty", 0, {}, {}},
        {"deflated empty (final empty block)", 8, {0x03, 0x00}, {}},
        {"deflated, level 0", 8, RawDeflate(text, 0), text},
        // Up to three bytes after the deflate data pass, as a partial zlib trailer always has.
        {"deflated, three stray bytes after it", 8, WithTail(RawDeflate(text), 3), text},
    };
    for (const auto& c : cases) {
        FakeHost host(c.stored);
        std::string password;
        auto r = pc::DecodeEntryData(Params(c.method, c.stored.size(), c.expected.size()), password, host);
        EXPECT_EQ(r.status, pc::dsDone) << c.what;
        EXPECT_EQ(host.output, c.expected) << c.what;
        EXPECT_EQ(r.bytesWritten, c.expected.size()) << c.what;
        EXPECT_EQ(r.crc, Crc(c.expected)) << c.what;
        EXPECT_EQ(r.bytesRead, c.stored.size()) << c.what;
    }
}

TEST(DecodeEngine, CrcMatchesTheKnownValue) {
    const std::string check = "123456789";
    EXPECT_EQ(pc::ZipCrc32(0, check.data(), check.size()), 0xCBF43926u);
    // Continuing a run gives the same as one pass.
    std::uint32_t crc = pc::ZipCrc32(0, check.data(), 4);
    EXPECT_EQ(pc::ZipCrc32(crc, check.data() + 4, 5), 0xCBF43926u);
}

TEST(DecodeEngine, LargeDeflatedEntryStreamsThroughBoundedBuffers) {
    // Random data does not compress: more than 1 MiB of deflate data, read in several chunks that carry
    // on one inflate stream, and written out in pieces of at most 1 MiB.
    const Bytes data = RandomBytes(3 * 1024 * 1024 + 123, 7);
    const Bytes deflated = RawDeflate(data);
    ASSERT_GT(deflated.size(), 2 * pc::kDecodeBufferSize);
    FakeHost host(deflated);
    std::string password;
    auto r = pc::DecodeEntryData(Params(8, deflated.size(), data.size()), password, host);
    EXPECT_EQ(r.status, pc::dsDone);
    EXPECT_TRUE(host.output == data);
    EXPECT_EQ(r.crc, Crc(data));
    EXPECT_LE(host.largestWrite, pc::kOutputPieceSize);
    // One progress call before each of the 1 MiB chunks.
    EXPECT_EQ(host.progressCalls.size(),
              (deflated.size() + pc::kDecodeBufferSize - 1) / pc::kDecodeBufferSize);
    EXPECT_EQ(host.progressCalls[1], pc::kDecodeBufferSize);
}

TEST(DecodeEngine, HighlyCompressedEntryIsWrittenInBoundedPieces) {
    const Bytes zeros(20 * 1024 * 1024, 0);
    const Bytes deflated = RawDeflate(zeros, 9);
    ASSERT_LT(deflated.size(), 64 * 1024u);
    FakeHost host(deflated);
    std::string password;
    auto r = pc::DecodeEntryData(Params(8, deflated.size(), zeros.size()), password, host);
    EXPECT_EQ(r.status, pc::dsDone);
    EXPECT_EQ(r.bytesWritten, zeros.size());
    EXPECT_EQ(r.crc, Crc(zeros));
    EXPECT_LE(host.largestWrite, pc::kOutputPieceSize);
}

TEST(DecodeEngine, DeclaredSizeIsACeiling) {
    // A bomb: 64 MiB of zeros that claims to be 1000 bytes. Decoding stops at the first piece that would
    // pass the declared size; nothing beyond it reaches the output.
    const Bytes zeros(64 * 1024 * 1024, 0);
    const Bytes bomb = RawDeflate(zeros, 9);
    for (std::size_t declared : {std::size_t{0}, std::size_t{1000}, std::size_t{5 * 1024 * 1024}}) {
        FakeHost host(bomb);
        std::string password;
        auto r = pc::DecodeEntryData(Params(8, bomb.size(), declared), password, host);
        EXPECT_EQ(r.status, pc::dsFailed) << declared;
        EXPECT_LE(host.output.size(), declared) << declared;
        EXPECT_EQ(r.bytesWritten, host.output.size()) << declared;
    }
    // Stored data longer than declared fails the same way.
    const Bytes text = ToBytes("0123456789");
    FakeHost host(text);
    std::string password;
    EXPECT_EQ(pc::DecodeEntryData(Params(0, text.size(), 9), password, host).status, pc::dsFailed);
    EXPECT_TRUE(host.output.empty());
}

TEST(DecodeEngine, ShortOrDamagedDataFails) {
    const Bytes text = ToBytes("some text that is long enough to deflate into a handful of bytes, some text");
    const Bytes deflated = RawDeflate(text);
    const Bytes withTrailer = WithTail(deflated, 4);
    Bytes corrupt = deflated;
    corrupt[0] = 0xFF; // reserved block type
    struct Case {
        const char* what;
        std::uint16_t method;
        std::uint16_t versionNeeded;
        Bytes input;
        std::size_t compressedSize;
    } cases[] = {
        {"archive ends inside the data", 8, 20, Bytes(deflated.begin(), deflated.begin() + 5),
         deflated.size()},
        {"four bytes after the end of the deflate stream", 8, 20, withTrailer, withTrailer.size()},
        {"invalid block type", 8, 20, corrupt, corrupt.size()},
        {"unknown method, version needed 1.0", 3, 10, text, text.size()},
    };
    for (const auto& c : cases) {
        FakeHost host(c.input);
        std::string password;
        auto p = Params(c.method, c.compressedSize, text.size());
        p.versionNeeded = c.versionNeeded;
        EXPECT_EQ(pc::DecodeEntryData(p, password, host).status, pc::dsFailed) << c.what;
    }
    // A truncated deflate stream decodes without complaint but comes out short: verification's concern.
    FakeHost host(Bytes(deflated.begin(), deflated.end() - 3));
    std::string password;
    auto r = pc::DecodeEntryData(Params(8, deflated.size() - 3, text.size()), password, host);
    EXPECT_EQ(r.status, pc::dsDone);
    EXPECT_LT(r.bytesWritten, text.size());
}

TEST(DecodeEngine, ProgressCanStopAndOutputFailureStops) {
    const Bytes data = RandomBytes(2 * pc::kDecodeBufferSize + 10, 3);
    {
        FakeHost host(data);
        host.cancelAfterProgress = 1;
        std::string password;
        auto r = pc::DecodeEntryData(Params(0, data.size(), data.size()), password, host);
        EXPECT_EQ(r.status, pc::dsCancelled);
        EXPECT_EQ(host.output.size(), pc::kDecodeBufferSize);
    }
    {
        FakeHost host(data);
        host.capacity = 1000;
        std::string password;
        auto r = pc::DecodeEntryData(Params(0, data.size(), data.size()), password, host);
        EXPECT_EQ(r.status, pc::dsFailed);
        EXPECT_TRUE(host.output.empty());
    }
}

// Traditional encryption of `plain` with a header whose last byte is `check`.
Bytes Encrypt(const std::string& password, const Bytes& plain, std::uint8_t check) {
    Bytes out = RandomBytes(pc::kEncryptionHeaderSize, 99);
    out[pc::kEncryptionHeaderSize - 1] = check;
    out.insert(out.end(), plain.begin(), plain.end());
    pc::TZAZipCipher(password).Encrypt(out.data(), out.size());
    return out;
}

TEST(DecodeEngine, TraditionalEncryption) {
    const Bytes text = ToBytes("secret contents of the patch, repeated: secret contents of the patch");
    const std::uint32_t crc = Crc(text);
    const std::uint16_t time = 0xAB12;
    // Without a data descriptor the check byte is the CRC's top byte, with one the time's high byte.
    EXPECT_EQ(pc::PasswordCheckByte(0x0001, time, crc), crc >> 24);
    EXPECT_EQ(pc::PasswordCheckByte(0x0009, time, crc), 0xAB);

    for (std::uint16_t method : {0, 8}) {
        const Bytes payload = method == 8 ? RawDeflate(text) : text;
        for (std::uint16_t flags : {0x0001, 0x0009}) {
            const std::uint8_t check = pc::PasswordCheckByte(flags, time, crc);
            const Bytes stored = Encrypt("s3cret", payload, check);
            auto p = Params(method, stored.size(), text.size());
            p.enciphered = true;
            p.checkByte = check;
            {
                FakeHost host(stored);
                std::string password = "s3cret";
                auto r = pc::DecodeEntryData(p, password, host);
                EXPECT_EQ(r.status, pc::dsDone);
                EXPECT_EQ(host.output, text);
                EXPECT_EQ(host.passwordPrompts, 0);
            }
            {
                // Wrong password: the prompt is asked until it gives the right one, which stays set.
                FakeHost host(stored);
                host.passwords = {"wrong", "s3cret"};
                std::string password;
                auto r = pc::DecodeEntryData(p, password, host);
                EXPECT_EQ(r.status, pc::dsDone);
                EXPECT_EQ(host.output, text);
                EXPECT_EQ(host.passwordPrompts, 2);
                EXPECT_EQ(password, "s3cret");
            }
            {
                FakeHost host(stored);
                std::string password = "wrong";
                auto r = pc::DecodeEntryData(p, password, host);
                EXPECT_EQ(r.status, pc::dsSkipped);
                EXPECT_TRUE(host.output.empty());
                EXPECT_EQ(host.passwordPrompts, 1);
            }
        }
    }
    // Fewer bytes than the encryption header itself cannot be an encrypted entry.
    FakeHost host(Bytes(5, 0));
    auto p = Params(0, 5, 0);
    p.enciphered = true;
    std::string password;
    EXPECT_EQ(pc::DecodeEntryData(p, password, host).status, pc::dsFailed);
}

// The block format: a 50-byte header, then length-prefixed blocks.
struct BlockEntry {
    std::uint32_t blockSize = 0;
    bool compressed = true;
    std::uint8_t algorithm = 0;
    std::uint16_t cipher = 0xFFFF;
    std::uint32_t checkCrc = 0;
    std::vector<Bytes> blocks;

    Bytes Build() const {
        Bytes out(pc::kBlockHeaderSize, 0);
        auto put32 = [&](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        put32(0, blockSize);
        put32(16, static_cast<std::uint32_t>(blocks.size()));
        out[20] = algorithm;
        out[21] = compressed ? 1 : 0;
        out[22] = static_cast<std::uint8_t>(cipher);
        out[23] = static_cast<std::uint8_t>(cipher >> 8);
        put32(24, checkCrc);
        for (int i = 0; i < 16; ++i)
            out[28 + i] = static_cast<std::uint8_t>(i * 7);
        for (const auto& b : blocks) {
            const auto n = static_cast<std::uint32_t>(b.size());
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
};

TEST(DecodeEngine, BlockFormat) {
    const Bytes data = RandomBytes(2500, 11);
    auto part = [&](std::size_t from, std::size_t to) {
        return Bytes(data.begin() + from, data.begin() + to);
    };
    BlockEntry compressed;
    compressed.blockSize = 1000;
    compressed.blocks = {ZlibStream(part(0, 1000)), ZlibStream(part(1000, 2000)),
                         ZlibStream(part(2000, 2500))};
    BlockEntry stored = compressed;
    stored.compressed = false;
    stored.blocks = {part(0, 1000), part(1000, 2000), part(2000, 2500)};
    std::uint8_t checkData[16];
    for (int i = 0; i < 16; ++i)
        checkData[i] = static_cast<std::uint8_t>(i * 7);
    BlockEntry checked = compressed;
    checked.cipher = 1;
    checked.checkCrc = pc::ZipCrc32(0, checkData, 16);

    for (const BlockEntry* entry : {&compressed, &stored, &checked}) {
        const Bytes bytes = entry->Build();
        FakeHost host(bytes);
        std::string password;
        auto r = pc::DecodeEntryData(Params(77, bytes.size(), data.size()), password, host);
        EXPECT_EQ(r.status, pc::dsDone);
        EXPECT_EQ(host.output, data);
        EXPECT_EQ(r.crc, Crc(data));
        EXPECT_EQ(host.progressCalls.size(), 3u);
        EXPECT_EQ(host.passwordPrompts, 0);
    }

    BlockEntry wrongCheck = checked;
    wrongCheck.checkCrc ^= 1;
    BlockEntry badAlgorithm = compressed;
    badAlgorithm.algorithm = 1;
    BlockEntry shortBlock = compressed; // a middle block that decodes to less than the block size
    shortBlock.blocks[1] = ZlibStream(part(1000, 1999));
    BlockEntry longBlock = compressed; // the last block decodes to more than the rest of the entry
    longBlock.blocks[2] = ZlibStream(part(1999, 2500));
    BlockEntry emptyBlock = stored;
    emptyBlock.blocks[1].clear();
    BlockEntry storedMismatch = stored;
    storedMismatch.blocks[0].pop_back();
    BlockEntry tooMany = compressed; // the blocks claim more than the declared size
    tooMany.blocks.push_back(ZlibStream(part(0, 10)));
    struct Case {
        const char* what;
        const BlockEntry* entry;
        pc::TZADecodeStatus status;
        int prompts;
    } cases[] = {
        {"check data that never matches: prompt, then skip", &wrongCheck, pc::dsSkipped, 1},
        {"algorithm other than zlib", &badAlgorithm, pc::dsFailed, 0},
        {"block shorter than its size", &shortBlock, pc::dsFailed, 0},
        {"block longer than its size", &longBlock, pc::dsFailed, 0},
        {"empty block", &emptyBlock, pc::dsFailed, 0},
        {"stored block of the wrong length", &storedMismatch, pc::dsFailed, 0},
        {"more blocks than the size allows", &tooMany, pc::dsFailed, 0},
    };
    for (const auto& c : cases) {
        const Bytes bytes = c.entry->Build();
        FakeHost host(bytes);
        std::string password;
        EXPECT_EQ(pc::DecodeEntryData(Params(77, bytes.size(), data.size()), password, host).status, c.status)
            << c.what;
        EXPECT_EQ(host.passwordPrompts, c.prompts) << c.what;
    }

    // Blocks never read past the entry's compressed size.
    const Bytes bytes = compressed.Build();
    FakeHost host(bytes);
    std::string password;
    EXPECT_EQ(pc::DecodeEntryData(Params(77, bytes.size() - 1, data.size()), password, host).status,
              pc::dsFailed);
    EXPECT_LE(host.position_, bytes.size() - 1);
}

} // namespace
