// Turning one entry's stored bytes back into its contents: stored copy, deflate, traditional PKWARE
// decryption and the component's own block format, with the CRC-32 computed on the way.
//
// The engine works on plain inputs and talks to its surroundings through TZADecodeHost, so that the
// archive component and the tests can both drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pc {

// Input is read in chunks of at most this size, and deflated data is inflated into an output buffer of at
// most this size, whatever the entry's sizes claim: memory stays bounded for every archive.
inline constexpr std::size_t kDecodeBufferSize = 0x100000;
// Decoded bytes are handed on in pieces of at most this size: small enough to stay in the processor's
// cache between being produced, summed into the CRC and copied out, which more than halves the time
// for large entries.
inline constexpr std::size_t kOutputPieceSize = 0x40000;

// CRC-32 as ZIP uses it, continuing from `crc` (0 for a fresh run).
std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size);

// Traditional PKWARE encryption: the three keys, set up from a password and advanced by every plain byte.
class TZAZipCipher {
public:
    explicit TZAZipCipher(const std::string& password);
    void Decrypt(std::uint8_t* data, std::size_t size);
    void Encrypt(std::uint8_t* data, std::size_t size); // for building test archives

private:
    std::uint8_t KeyStreamByte() const;
    void UpdateKeys(std::uint8_t plain);
    std::uint32_t keys_[3];
};

inline constexpr std::size_t kEncryptionHeaderSize = 12;

// The byte the deciphered encryption header must end with: with a data descriptor (local flags bit 3)
// the CRC is not known when the header is written, so the high byte of the local time stands in for it.
std::uint8_t PasswordCheckByte(std::uint16_t localFlags, std::uint16_t localTime, std::uint32_t localCrc);

// What the engine needs from whoever runs it.
class TZADecodeHost {
public:
    virtual ~TZADecodeHost() = default;
    // Reads exactly `size` bytes of the entry's data; false when the archive ends first.
    virtual bool ReadData(std::uint8_t* buffer, std::size_t size) = 0;
    // Hands decoded bytes to the output; false when they could not be written and the run stops.
    virtual bool WriteOutput(const std::uint8_t* data, std::size_t size) = 0;
    // Called before every chunk or block; returns true when the run is to stop.
    virtual bool Progress(std::uint64_t bytesRead, std::uint64_t compressedSize) = 0;
    // The current password was not accepted: asks for another one and stores it in `password`.
    // Returns false when the entry is to be skipped.
    virtual bool AskPassword(std::string& password) = 0;
};

struct TZADecodeParams {
    std::uint16_t method = 0;
    std::uint16_t versionNeeded = 0;
    bool enciphered = false;            // traditional encryption (general purpose flag bit 0)
    std::uint8_t checkByte = 0;         // PasswordCheckByte of the local header
    std::uint64_t compressedSize = 0;   // bytes of data the entry may read, header of encryption included
    std::uint64_t uncompressedSize = 0; // the declared size: never more bytes than this are written
};

enum TZADecodeStatus : std::uint8_t {
    dsDone,      // all data was read; the size and CRC have still to be verified
    dsFailed,    // the data cannot be decoded, or it produced more bytes than the declared size
    dsCancelled, // Progress asked to stop, or an output write failed and the run stops
    dsSkipped,   // the password prompt was cancelled
};

struct TZADecodeResult {
    TZADecodeStatus status = dsFailed;
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesWritten = 0;
    std::uint32_t crc = 0; // CRC-32 of what was written
};

// A compression method that APPNOTE registers (shrink, reduce, implode, bzip2, LZMA, zstd, xz, PPMd, AES and
// the like) other than stored, deflate and Deflate64, none of which this component decodes.
bool IsForeignUndecodedMethod(std::uint16_t method);
// The registered name of a method, or an empty text when APPNOTE gives it none.
const char* CompressionMethodName(std::uint16_t method);

// Decodes one entry's data (methods 0 and 8 as streams, any other method as the block format when the
// version needed is above 1.0). Method 9 is refused by the caller before it gets here. `password` is the
// component's password, which a prompt may change.
TZADecodeResult DecodeEntryData(const TZADecodeParams& params, std::string& password, TZADecodeHost& host);

// The block format's fixed header.
inline constexpr std::size_t kBlockHeaderSize = 50;

} // namespace pc
