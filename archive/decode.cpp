#include "archive/decode.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

namespace pc {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// The cipher advances its keys one byte at a time by the raw CRC step (no pre- or post-conditioning).
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::uint32_t CrcStep(std::uint32_t crc, std::uint8_t byte) {
    return kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::unique_ptr<std::uint8_t[]> Buffer(std::size_t size) {
    return std::make_unique_for_overwrite<std::uint8_t[]>(size);
}

// One zlib inflate stream, ended on every way out: a zlib stream by default, raw deflate data with
// windowBits -15.
class TInflateStream {
public:
    explicit TInflateStream(int windowBits = 15) : result_(inflateInit2(&stream_, windowBits)) {}
    TInflateStream(const TInflateStream&) = delete;
    TInflateStream& operator=(const TInflateStream&) = delete;
    ~TInflateStream() {
        if (result_ == Z_OK)
            inflateEnd(&stream_);
    }
    bool Ready() const { return result_ == Z_OK; }
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
    int result_;
};

// Everything decoded goes through here: the declared size is a ceiling, the CRC follows the bytes.
class TEmitter {
public:
    TEmitter(TZADecodeHost& host, std::uint64_t declaredSize) : host_(host), declared_(declaredSize) {}

    // False when the bytes would exceed the declared size (nothing of them is written) or the output
    // could not take them.
    bool Emit(const std::uint8_t* data, std::size_t size) {
        if (size > declared_ - written_)
            return false;
        for (std::size_t done = 0; done < size;) {
            const std::size_t piece = std::min(size - done, kOutputPieceSize);
            crc_ = ZipCrc32(crc_, data + done, piece);
            if (!host_.WriteOutput(data + done, piece))
                return false;
            written_ += piece;
            done += piece;
        }
        return true;
    }
    std::uint64_t Written() const { return written_; }
    std::uint32_t Crc() const { return crc_; }
    // An output buffer large enough to notice one byte beyond the declared size, never above the bound.
    std::size_t OutputBufferSize() const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(kOutputPieceSize, declared_ - written_ + 1));
    }

private:
    TZADecodeHost& host_;
    std::uint64_t declared_;
    std::uint64_t written_ = 0;
    std::uint32_t crc_ = 0;
};

// Inflates what is in the stream's input through `out`, writing out each time it fills. Returns false
// on a decoding failure or when emitting fails; `ended` reports the end of the deflate stream.
bool InflateInto(z_stream* stream, std::uint8_t* out, std::size_t outSize, TEmitter& emitter, bool& ended) {
    for (;;) {
        stream->next_out = out;
        stream->avail_out = static_cast<uInt>(outSize);
        int rc = inflate(stream, Z_NO_FLUSH);
        if (rc < 0 && rc != Z_BUF_ERROR)
            return false;
        std::size_t produced = outSize - stream->avail_out;
        if (produced > 0 && !emitter.Emit(out, produced))
            return false;
        if (rc == Z_STREAM_END) {
            ended = true;
            return true;
        }
        if (rc == Z_BUF_ERROR) // no progress possible: all input taken and nothing pending
            return stream->avail_in == 0;
        if (stream->avail_in == 0 && stream->avail_out != 0)
            return true;
    }
}

TZADecodeResult Finish(TZADecodeStatus status, std::uint64_t bytesRead, const TEmitter& emitter) {
    return TZADecodeResult{status, bytesRead, emitter.Written(), emitter.Crc()};
}

// Methods 0 and 8, optionally behind traditional encryption.
TZADecodeResult DecodeStream(const TZADecodeParams& params, std::string& password, TZADecodeHost& host) {
    TEmitter emitter(host, params.uncompressedSize);
    std::uint64_t size = params.compressedSize;
    std::optional<TZAZipCipher> cipher;
    if (params.enciphered) {
        if (size < kEncryptionHeaderSize)
            return Finish(dsFailed, 0, emitter);
        size -= kEncryptionHeaderSize;
        std::uint8_t header[kEncryptionHeaderSize];
        if (!host.ReadData(header, sizeof header))
            return Finish(dsFailed, 0, emitter);
        for (;;) {
            TZAZipCipher candidate(password);
            std::uint8_t plain[kEncryptionHeaderSize];
            std::memcpy(plain, header, sizeof plain);
            candidate.Decrypt(plain, sizeof plain);
            if (plain[kEncryptionHeaderSize - 1] == params.checkByte) {
                cipher = candidate;
                break;
            }
            if (!host.AskPassword(password))
                return Finish(dsSkipped, 0, emitter);
        }
    }

    const bool deflated = params.method == 8;
    std::optional<TInflateStream> inflater;
    std::unique_ptr<std::uint8_t[]> output;
    std::size_t outputSize = 0;
    if (deflated) {
        inflater.emplace(-15);
        if (!inflater->Ready())
            return Finish(dsFailed, 0, emitter);
        outputSize = emitter.OutputBufferSize();
        output = Buffer(outputSize);
    }
    const std::size_t inputSize = static_cast<std::size_t>(std::min<std::uint64_t>(kDecodeBufferSize, size));
    auto input = Buffer(inputSize);

    // The entry's raw deflate data is inflated as such. Read as a zlib stream behind a made-up two-byte
    // header, as archives have always been read here, up to three bytes after the end of the deflate data
    // would pass as a partial Adler-32 trailer while four or more would fail its check; the same holds
    // here without computing an Adler-32 that nothing wants.
    constexpr std::uint64_t kTrailerSize = 4;
    std::uint64_t trailing = 0;
    bool ended = false;
    std::uint64_t bytesRead = 0;
    while (bytesRead < size) {
        if (host.Progress(bytesRead, size))
            return Finish(dsCancelled, bytesRead, emitter);
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(inputSize, size - bytesRead));
        std::uint8_t* data = input.get();
        if (!host.ReadData(data, chunk))
            return Finish(dsFailed, bytesRead, emitter);
        if (cipher)
            cipher->Decrypt(data, chunk);
        if (!deflated) {
            if (!emitter.Emit(data, chunk))
                return Finish(dsFailed, bytesRead, emitter);
        } else if (ended) {
            trailing += chunk;
        } else {
            (*inflater)->next_in = data;
            (*inflater)->avail_in = static_cast<uInt>(chunk);
            if (!InflateInto(inflater->get(), output.get(), outputSize, emitter, ended))
                return Finish(dsFailed, bytesRead, emitter);
            if (ended)
                trailing += (*inflater)->avail_in;
        }
        if (trailing >= kTrailerSize)
            return Finish(dsFailed, bytesRead, emitter);
        bytesRead += chunk;
    }
    return Finish(dsDone, bytesRead, emitter);
}

// The component's own block format: a header, then length-prefixed blocks, each stored or one zlib
// stream, each of a known output size.
class TBlockDecoder {
public:
    TBlockDecoder(const TZADecodeParams& params, TZADecodeHost& host)
        : params_(params), host_(host), emitter_(host, params.uncompressedSize) {}

    TZADecodeResult Run(std::string& password) {
        std::uint8_t header[kBlockHeaderSize];
        if (!Read(header, sizeof header))
            return Finish(dsFailed, read_, emitter_);
        const std::uint32_t blockSize = Le32(header + 0);
        const std::uint32_t blockCount = Le32(header + 16);
        const std::uint8_t algorithm = header[20];
        const bool compressed = header[21] != 0;
        const std::uint16_t cipherId = Le16(header + 22);
        if (cipherId != 0xFFFF) {
            // No cipher exists for this layout: the check data are compared as they are stored.
            while (ZipCrc32(0, header + 28, 16) != Le32(header + 24)) {
                if (!host_.AskPassword(password))
                    return Finish(dsSkipped, read_, emitter_);
            }
        }
        for (std::uint32_t block = 0; block < blockCount; ++block) {
            if (host_.Progress(read_, params_.compressedSize))
                return Finish(dsCancelled, read_, emitter_);
            std::uint8_t lengthWord[4];
            if (!Read(lengthWord, sizeof lengthWord))
                return Finish(dsFailed, read_, emitter_);
            const std::uint32_t length = Le32(lengthWord);
            const std::uint64_t room = params_.uncompressedSize - emitter_.Written();
            const std::uint64_t expected = block + 1 == blockCount ? room : blockSize;
            if (length == 0 || expected == 0 || expected > room || length > params_.compressedSize - read_)
                return Finish(dsFailed, read_, emitter_);
            bool ok =
                !compressed ? CopyBlock(length, expected) : algorithm == 0 && InflateBlock(length, expected);
            if (!ok)
                return Finish(dsFailed, read_, emitter_);
        }
        return Finish(dsDone, read_, emitter_);
    }

private:
    bool Read(std::uint8_t* buffer, std::size_t size) {
        if (size > params_.compressedSize - read_ || !host_.ReadData(buffer, size))
            return false;
        read_ += size;
        return true;
    }

    std::uint8_t* Input() {
        if (!input_)
            input_ = Buffer(kDecodeBufferSize);
        return input_.get();
    }

    // A stored block must be exactly as long as its expected output.
    bool CopyBlock(std::uint32_t length, std::uint64_t expected) {
        if (length != expected)
            return false;
        for (std::uint32_t left = length; left > 0;) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint32_t>(left, kDecodeBufferSize));
            if (!Read(Input(), piece) || !emitter_.Emit(Input(), piece))
                return false;
            left -= static_cast<std::uint32_t>(piece);
        }
        return true;
    }

    // A compressed block is one whole zlib stream that must produce exactly its expected output; bytes
    // after the stream's end are passed over.
    bool InflateBlock(std::uint32_t length, std::uint64_t expected) {
        TInflateStream inflater; // a whole zlib stream, its Adler-32 checked
        if (!inflater.Ready())
            return false;
        const std::uint64_t before = emitter_.Written();
        const auto outputSize =
            static_cast<std::size_t>(std::min<std::uint64_t>(kOutputPieceSize, expected + 1));
        auto output = Buffer(outputSize);
        bool ended = false;
        for (std::uint32_t left = length; left > 0;) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint32_t>(left, kDecodeBufferSize));
            if (!Read(Input(), piece))
                return false;
            left -= static_cast<std::uint32_t>(piece);
            if (ended)
                continue;
            inflater->next_in = Input();
            inflater->avail_in = static_cast<uInt>(piece);
            if (!InflateInto(inflater.get(), output.get(), outputSize, emitter_, ended))
                return false;
            if (emitter_.Written() - before > expected)
                return false;
        }
        return ended && emitter_.Written() - before == expected;
    }

    const TZADecodeParams& params_;
    TZADecodeHost& host_;
    TEmitter emitter_;
    std::uint64_t read_ = 0;
    std::unique_ptr<std::uint8_t[]> input_;
};

} // namespace

std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) {
    auto bytes = static_cast<const Bytef*>(data);
    while (size > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
        crc = static_cast<std::uint32_t>(crc32(crc, bytes, piece));
        bytes += piece;
        size -= piece;
    }
    return crc;
}

TZAZipCipher::TZAZipCipher(const std::string& password) : keys_{0x12345678u, 0x23456789u, 0x34567890u} {
    for (char c : password)
        UpdateKeys(static_cast<std::uint8_t>(c));
}

std::uint8_t TZAZipCipher::KeyStreamByte() const {
    const std::uint32_t temp = (keys_[2] | 2u) & 0xFFFFu;
    return static_cast<std::uint8_t>((temp * (temp ^ 1u)) >> 8);
}

void TZAZipCipher::UpdateKeys(std::uint8_t plain) {
    keys_[0] = CrcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFFu)) * 134775813u + 1u;
    keys_[2] = CrcStep(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
}

void TZAZipCipher::Decrypt(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(data[i] ^ KeyStreamByte());
        UpdateKeys(data[i]);
    }
}

void TZAZipCipher::Encrypt(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t plain = data[i];
        data[i] = static_cast<std::uint8_t>(plain ^ KeyStreamByte());
        UpdateKeys(plain);
    }
}

std::uint8_t PasswordCheckByte(std::uint16_t localFlags, std::uint16_t localTime, std::uint32_t localCrc) {
    if (localFlags & 0x0008)
        return static_cast<std::uint8_t>(localTime >> 8);
    return static_cast<std::uint8_t>(localCrc >> 24);
}

bool IsForeignUndecodedMethod(std::uint16_t method) {
    return (method >= 1 && method <= 20 && method != 8 && method != 9) || (method >= 93 && method <= 99);
}

const char* CompressionMethodName(std::uint16_t method) {
    switch (method) {
    case 0:
        return "stored";
    case 1:
        return "shrink";
    case 2:
    case 3:
    case 4:
    case 5:
        return "reduce";
    case 6:
        return "implode";
    case 8:
        return "deflate";
    case 9:
        return "Deflate64";
    case 10:
        return "PKWARE DCL implode";
    case 12:
        return "bzip2";
    case 14:
        return "LZMA";
    case 16:
        return "IBM z/OS CMPSC";
    case 18:
        return "IBM TERSE";
    case 19:
        return "IBM LZ77 z";
    case 20:
    case 93:
        return "zstd";
    case 94:
        return "MP3";
    case 95:
        return "xz";
    case 96:
        return "JPEG";
    case 97:
        return "WavPack";
    case 98:
        return "PPMd";
    case 99:
        return "AES";
    default:
        return "";
    }
}

TZADecodeResult DecodeEntryData(const TZADecodeParams& params, std::string& password, TZADecodeHost& host) {
    if (params.method == 0 || params.method == 8)
        return DecodeStream(params, password, host);
    if (params.versionNeeded > 10)
        return TBlockDecoder(params, host).Run(password);
    return TZADecodeResult{};
}

} // namespace pc
