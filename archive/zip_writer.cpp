#include "archive/zip_writer.h"

#include "archive/code_pages.h"
#include "archive/streams.h"
#include "archive/zip_archiver.h"
#include "archive/zip_records.h"
#include "framework/crypto.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace pc {
namespace {

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
// Made by Unix (3), format version 3.0: readers take the high half of the external attributes as the mode.
constexpr std::uint16_t kVersionMadeBy = (3 << 8) | 30;
constexpr std::uint16_t kVersionStored = 10;
constexpr std::uint16_t kVersionDeflated = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t k32BitEscape = 0xFFFFFFFFu;
constexpr std::uint16_t k16BitEscape = 0xFFFF;

// Files up to this size are read and deflated whole by the helper threads; larger ones are streamed by
// the writer itself, so that memory stays bounded whatever the tree holds.
constexpr std::uint64_t kWholeFileLimit = 4u << 20;
// How many prepared entries may wait for the writer.
constexpr std::size_t kAheadPerThread = 4;
constexpr std::size_t kChunkSize = 1u << 20;

bool IsDirectoryName(const std::string& name) {
    return !name.empty() && name.back() == '/';
}

bool IsPlainAscii(const std::string& name) {
    return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A deflate stream for one thread, reset for every entry.
class TDeflater {
public:
    explicit TDeflater(int level) {
        // Negative window bits: raw deflate, as ZIP stores it, without zlib's header and trailer.
        if (deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw EOutOfResources("Cannot set up deflate");
    }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;
    ~TDeflater() { deflateEnd(&stream_); }

    void Reset() { deflateReset(&stream_); }

    // Deflates `size` bytes, appending to `out`; `last` ends the stream.
    void Feed(const std::uint8_t* data, std::size_t size, bool last, std::vector<std::uint8_t>& out) {
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            const std::size_t before = out.size();
            const std::size_t room =
                std::max<std::size_t>(deflateBound(&stream_, stream_.avail_in), 64 * 1024);
            out.resize(before + room);
            stream_.next_out = out.data() + before;
            stream_.avail_out = static_cast<uInt>(room);
            const int result = deflate(&stream_, flush);
            out.resize(before + (room - stream_.avail_out));
            if (result == Z_STREAM_END)
                return;
            if (result != Z_OK && result != Z_BUF_ERROR)
                throw EOutOfResources("Deflate failed");
            if (stream_.avail_in == 0 && !last)
                return;
        }
    }

private:
    z_stream stream_{};
};

// Deflate keeps matches within 32 KiB: a block primed with the 32 KiB before it loses almost nothing to being
// deflated on its own.
constexpr std::size_t kDictionarySize = 32 * 1024;

// Deflates one block of a large file on its own, primed with the bytes before it. A block that is not the
// last ends on a byte boundary (a sync flush) without ending the stream, so the blocks' outputs, joined in
// order, are one deflate stream; the same blocks give the same bytes however many threads deflate them.
void DeflateBlock(z_stream& stream, const std::vector<std::uint8_t>& dictionary,
                  const std::vector<std::uint8_t>& data, bool last, std::vector<std::uint8_t>& out) {
    if (deflateReset(&stream) != Z_OK ||
        (!dictionary.empty() &&
         deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size())) != Z_OK))
        throw EOutOfResources("Deflate failed");
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        const std::size_t before = out.size();
        const std::size_t room = std::max<std::size_t>(deflateBound(&stream, stream.avail_in), 64 * 1024);
        out.resize(before + room);
        stream.next_out = out.data() + before;
        stream.avail_out = static_cast<uInt>(room);
        const int result = deflate(&stream, flush);
        out.resize(before + (room - stream.avail_out));
        if (result == Z_STREAM_END)
            return;
        if (result != Z_OK && result != Z_BUF_ERROR)
            throw EOutOfResources("Deflate failed");
        if (!last && stream.avail_in == 0 && stream.avail_out != 0)
            return; // the flush is complete
    }
}

// Threads that deflate the blocks of one large file while the writer reads the next ones and writes the
// finished ones in order.
class TBlockDeflaters {
public:
    TBlockDeflaters(int level, unsigned threads) : level_(level) {
        for (unsigned t = 0; t < threads; ++t)
            threads_.emplace_back([this] { Work(); });
    }
    TBlockDeflaters(const TBlockDeflaters&) = delete;
    TBlockDeflaters& operator=(const TBlockDeflaters&) = delete;
    ~TBlockDeflaters() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

    void Submit(std::vector<std::uint8_t> dictionary, std::vector<std::uint8_t> data, bool last) {
        {
            std::lock_guard lock(mutex_);
            Job& job = jobs_.emplace_back();
            job.dictionary = std::move(dictionary);
            job.data = std::move(data);
            job.last = last;
        }
        changed_.notify_all();
    }

    std::size_t Pending() const {
        std::lock_guard lock(mutex_);
        return jobs_.size();
    }

    // Waits for the oldest block and takes its deflated bytes and its size before deflate.
    std::vector<std::uint8_t> TakeOldest(std::size_t& inputSize) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !jobs_.empty() && jobs_.front().done; });
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        --claimed_;
        if (!job.error.empty())
            throw EOutOfResources(job.error);
        inputSize = job.data.size();
        return std::move(job.output);
    }

private:
    struct Job {
        std::vector<std::uint8_t> dictionary;
        std::vector<std::uint8_t> data;
        bool last = false;
        std::vector<std::uint8_t> output;
        std::string error;
        bool done = false;
    };

    void Work() {
        z_stream stream{};
        const bool ready =
            deflateInit2(&stream, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || claimed_ < jobs_.size(); });
                if (stop_)
                    break;
                // Jobs are never removed before they are done, so the address stays valid meanwhile.
                job = &jobs_[claimed_++];
            }
            std::vector<std::uint8_t> output;
            std::string error;
            try {
                if (!ready)
                    throw EOutOfResources("Cannot set up deflate");
                output.reserve(job->data.size() / 2 + 64);
                DeflateBlock(stream, job->dictionary, job->data, job->last, output);
            } catch (const std::exception& e) {
                error = e.what();
            }
            {
                std::lock_guard lock(mutex_);
                job->output = std::move(output);
                job->error = std::move(error);
                job->done = true;
            }
            changed_.notify_all();
        }
        if (ready)
            deflateEnd(&stream);
    }

    int level_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    std::size_t claimed_ = 0; // the first `claimed_` jobs are taken by a thread
    bool stop_ = false;
    std::vector<std::jthread> threads_; // last: joined before the state above goes
};

// One entry's data as it goes into the archive.
struct TPreparedData {
    std::uint16_t method = kMethodStored;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> bytes; // as stored in the archive: deflated, or the file itself
    std::string sha256;              // of the file's bytes, when asked for
    std::string error;               // set when the file could not be read
};

std::uint64_t FileSizeOf(const TZipSourceEntry& entry) {
    std::error_code error;
    const auto size = std::filesystem::file_size(entry.sourcePath, error);
    if (error)
        throw EFOpenError("Cannot open file " + entry.sourcePath);
    return size;
}

// Reads a whole (small) file, sums it and deflates it; keeps the stored bytes when deflate does not make
// them smaller.
TPreparedData PrepareWhole(const TZipSourceEntry& entry, TDeflater& deflater, bool digest) {
    TPreparedData prepared;
    try {
        TFileStream in(entry.sourcePath, fmOpenRead | fmShareDenyNone);
        const std::int64_t size = in.Size();
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(size));
        in.ReadBuffer(raw.data(), size);
        if (in.Size() != size)
            throw EZipWriteError("The file changed while it was packed: " + entry.sourcePath);
        prepared.size = raw.size();
        prepared.crc = static_cast<std::uint32_t>(crc32(0, raw.data(), static_cast<uInt>(raw.size())));
        if (digest) {
            TSha256 hash;
            hash.Update(raw.data(), raw.size());
            prepared.sha256 = hash.HexDigest();
        }
        if (!raw.empty()) {
            deflater.Reset();
            std::vector<std::uint8_t> packed;
            packed.reserve(raw.size() / 2 + 64);
            deflater.Feed(raw.data(), raw.size(), true, packed);
            if (packed.size() < raw.size()) {
                prepared.method = kMethodDeflated;
                prepared.bytes = std::move(packed);
                return prepared;
            }
        }
        prepared.bytes = std::move(raw);
    } catch (const std::exception& e) {
        // Reported by the writer when it comes to this entry; a helper thread must not end the process.
        prepared.error = e.what();
    }
    return prepared;
}

// Output through one buffer, so that headers and small entries cost few system calls.
class TArchiveOutput {
public:
    explicit TArchiveOutput(const std::string& path) : file_(path, fmCreate) {}

    std::uint64_t Offset() const { return offset_ + buffer_.size(); }

    void Write(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (buffer_.size() + size > kChunkSize)
            Flush();
        if (size >= kChunkSize) {
            file_.WriteBuffer(bytes, static_cast<std::int64_t>(size));
            offset_ += size;
            return;
        }
        buffer_.insert(buffer_.end(), bytes, bytes + size);
    }

    void Flush() {
        if (buffer_.empty())
            return;
        file_.WriteBuffer(buffer_.data(), static_cast<std::int64_t>(buffer_.size()));
        offset_ += buffer_.size();
        buffer_.clear();
    }

    // Overwrites bytes already written at `at` (flushed first).
    void Patch(std::uint64_t at, const void* data, std::size_t size) {
        Flush();
        file_.SetPosition(static_cast<std::int64_t>(at));
        file_.WriteBuffer(data, static_cast<std::int64_t>(size));
        file_.SetPosition(static_cast<std::int64_t>(offset_));
    }

    // Drops everything from `at` on; writing continues there.
    void TruncateTo(std::uint64_t at) {
        Flush();
        file_.SetSize(static_cast<std::int64_t>(at));
        offset_ = at;
        file_.SetPosition(static_cast<std::int64_t>(at));
    }

    void Finish() {
        Flush();
        if (!file_.Flush())
            throw EWriteError("Stream write error");
    }

private:
    TFileStream file_;
    std::uint64_t offset_ = 0;
    std::vector<std::uint8_t> buffer_;
};

// What the central directory needs of a written entry.
struct TWrittenEntry {
    std::uint16_t versionNeeded = kVersionStored;
    std::uint16_t flags = 0;
    std::uint16_t method = kMethodStored;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    std::uint32_t externalAttr = 0;
};

class TArchiveWriter {
public:
    TArchiveWriter(const std::string& path, const std::vector<TZipSourceEntry>& entries,
                   const TZipWriteOptions& options)
        : out_(path), entries_(entries), options_(options), streamed_(entries.size()),
          slots_(entries.size()) {}

    void Run() {
        unsigned threads = options_.threads != 0 ? options_.threads : std::thread::hardware_concurrency();
        threads = std::clamp(threads, 1u, 8u);
        threads_ = threads;
        limit_ = threads * kAheadPerThread;
        // The small files' sizes are read here, once, so that the helpers need no shared state but the
        // queue.
        for (std::size_t i = 0; i < entries_.size(); ++i)
            streamed_[i] = !entries_[i].sourcePath.empty() && FileSizeOf(entries_[i]) > kWholeFileLimit;

        std::vector<std::jthread> helpers;
        for (unsigned t = 0; t < threads; ++t)
            helpers.emplace_back([this] { Help(); });
        try {
            for (std::size_t i = 0; i < entries_.size(); ++i)
                WriteEntry(i, Take(i));
        } catch (...) {
            Stop();
            throw;
        }
        Stop();
        helpers.clear();
        WriteDirectory();
        out_.Finish();
    }

private:
    // The helpers take the next small file in order and prepare it, staying at most `limit_` entries
    // ahead of the writer.
    void Help() {
        std::optional<TDeflater> deflater;
        std::string setupError;
        try {
            deflater.emplace(options_.level);
        } catch (const std::exception& e) {
            setupError = e.what();
        }
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    while (next_ < entries_.size() &&
                           (entries_[next_].sourcePath.empty() || streamed_[next_]))
                        ++next_;
                    if (stop_ || next_ >= entries_.size())
                        return;
                    if (next_ < written_ + limit_)
                        break;
                    changed_.wait(lock);
                }
                i = next_++;
            }
            TPreparedData prepared;
            if (deflater)
                prepared = PrepareWhole(entries_[i], *deflater, static_cast<bool>(options_.fileDigest));
            else
                prepared.error = setupError;
            {
                std::lock_guard lock(mutex_);
                slots_[i] = std::move(prepared);
            }
            changed_.notify_all();
        }
    }

    // Waits for entry `i` to be prepared (directories and streamed files need nothing) and takes it.
    TPreparedData Take(std::size_t i) {
        std::unique_lock lock(mutex_);
        if (entries_[i].sourcePath.empty() || streamed_[i])
            return {};
        changed_.wait(lock, [&] { return slots_[i].has_value(); });
        TPreparedData prepared = std::move(*slots_[i]);
        slots_[i].reset();
        return prepared;
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

    void Advance() {
        {
            std::lock_guard lock(mutex_);
            ++written_;
        }
        changed_.notify_all();
    }

    void WriteEntry(std::size_t i, TPreparedData prepared) {
        const TZipSourceEntry& entry = entries_[i];
        if (!prepared.error.empty())
            throw EZipWriteError(prepared.error);
        TWrittenEntry written;
        DosDateTimeOf(entry.modTime, written.dosDate, written.dosTime);
        written.flags = IsPlainAscii(entry.name) ? 0 : kFlagUtf8Names;
        written.offset = out_.Offset();
        const bool directory = IsDirectoryName(entry.name);
        written.externalAttr = (entry.unixMode << 16) | (directory ? kAttrDirectory : kAttrArchive);
        if ((entry.unixMode & 0200) == 0)
            written.externalAttr |= kAttrReadOnly;

        std::string sha256 = std::move(prepared.sha256);
        if (streamed_[i]) {
            WriteStreamed(entry, written, sha256);
        } else {
            written.method = prepared.method;
            written.crc = prepared.crc;
            written.size = prepared.size;
            written.compressedSize = prepared.bytes.size();
            written.versionNeeded = NeededVersion(written);
            const std::vector<std::uint8_t> header = LocalHeaderBytes(entry, written);
            out_.Write(header.data(), header.size());
            out_.Write(prepared.bytes.data(), prepared.bytes.size());
            ReportPacked(written.size);
        }
        writtenEntries_.push_back(written);
        if (options_.fileDigest && !entry.sourcePath.empty())
            options_.fileDigest(i, written.size, sha256);
        Advance();
    }

    void ReportPacked(std::uint64_t bytes) {
        bytesPacked_ += bytes;
        if (options_.progress)
            options_.progress(bytesPacked_, false);
    }

    static std::uint16_t NeededVersion(const TWrittenEntry& written) {
        if (written.size >= k32BitEscape || written.offset >= k32BitEscape)
            return kVersionZip64;
        return written.method == kMethodDeflated ? kVersionDeflated : kVersionStored;
    }

    // The local header, with a Zip64 block carrying both sizes when the entry's size needs it.
    static std::vector<std::uint8_t> LocalHeaderBytes(const TZipSourceEntry& entry,
                                                      const TWrittenEntry& written) {
        const bool zip64 = written.size >= k32BitEscape;
        TZALocalHeader header;
        header.Signature = kLocalHeaderSignature;
        header.VersionNeeded = written.versionNeeded;
        header.Flags = written.flags;
        header.Method = written.method;
        header.ModTime = written.dosTime;
        header.ModDate = written.dosDate;
        header.Crc32 = written.crc;
        header.CompressedSize = zip64 ? k32BitEscape : static_cast<std::uint32_t>(written.compressedSize);
        header.UncompressedSize = zip64 ? k32BitEscape : static_cast<std::uint32_t>(written.size);
        header.NameLength = static_cast<std::uint16_t>(entry.name.size());
        header.ExtraLength = zip64 ? 20 : 0;
        std::vector<std::uint8_t> bytes(TZALocalHeader::kSize + entry.name.size() + header.ExtraLength);
        header.Store(bytes.data());
        std::copy(entry.name.begin(), entry.name.end(), bytes.begin() + TZALocalHeader::kSize);
        if (zip64) {
            std::uint8_t* extra = bytes.data() + TZALocalHeader::kSize + entry.name.size();
            PutU16(extra, kZip64ExtraId);
            PutU16(extra + 2, 16);
            PutU64(extra + 4, written.size);
            PutU64(extra + 12, written.compressedSize);
        }
        return bytes;
    }

    // A large file: its header is written first and completed afterwards (its length depends on the size
    // alone), the data is deflated in chunks, and when deflate did not pay the stored bytes replace the
    // deflated ones.
    void WriteStreamed(const TZipSourceEntry& entry, TWrittenEntry& written, std::string& sha256) {
        TFileStream in(entry.sourcePath, fmOpenRead | fmShareDenyNone);
        const auto size = static_cast<std::uint64_t>(in.Size());
        written.size = size;
        written.method = kMethodDeflated;
        written.versionNeeded = NeededVersion(written);
        const std::vector<std::uint8_t> placeholder = LocalHeaderBytes(entry, written);
        out_.Write(placeholder.data(), placeholder.size());
        const std::uint64_t dataAt = out_.Offset();

        // Read, summed and hashed here in order; deflated in blocks on all threads; written in order.
        std::uint32_t crc = 0;
        std::optional<TSha256> hash;
        if (options_.fileDigest)
            hash.emplace();
        {
            TBlockDeflaters deflaters(options_.level, threads_);
            const auto writeOldest = [&] {
                std::size_t inputSize = 0;
                const std::vector<std::uint8_t> packed = deflaters.TakeOldest(inputSize);
                out_.Write(packed.data(), packed.size());
                ReportPacked(inputSize);
            };
            std::vector<std::uint8_t> dictionary;
            for (std::uint64_t done = 0; done < size;) {
                const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size - done));
                std::vector<std::uint8_t> block(piece);
                in.ReadBuffer(block.data(), static_cast<std::int64_t>(piece));
                crc = static_cast<std::uint32_t>(crc32(crc, block.data(), static_cast<uInt>(piece)));
                if (hash)
                    hash->Update(block.data(), piece);
                done += piece;
                std::vector<std::uint8_t> next(
                    block.end() - static_cast<std::ptrdiff_t>(std::min(piece, kDictionarySize)), block.end());
                deflaters.Submit(std::move(dictionary), std::move(block), done == size);
                dictionary = std::move(next);
                while (deflaters.Pending() >= 2 * static_cast<std::size_t>(threads_))
                    writeOldest();
            }
            while (deflaters.Pending() > 0)
                writeOldest();
        }
        if (in.Size() != static_cast<std::int64_t>(size))
            throw EZipWriteError("The file changed while it was packed: " + entry.sourcePath);
        written.crc = crc;
        written.compressedSize = out_.Offset() - dataAt;
        if (hash)
            sha256 = hash->HexDigest();

        if (written.compressedSize >= size) {
            out_.TruncateTo(dataAt);
            in.SetPosition(0);
            std::vector<std::uint8_t> chunk(kChunkSize);
            std::uint32_t again = 0;
            for (std::uint64_t done = 0; done < size;) {
                const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size - done));
                in.ReadBuffer(chunk.data(), static_cast<std::int64_t>(piece));
                again = static_cast<std::uint32_t>(crc32(again, chunk.data(), static_cast<uInt>(piece)));
                out_.Write(chunk.data(), piece);
                done += piece;
            }
            if (again != crc)
                throw EZipWriteError("The file changed while it was packed: " + entry.sourcePath);
            written.method = kMethodStored;
            written.compressedSize = size;
            written.versionNeeded = NeededVersion(written);
        }
        const std::vector<std::uint8_t> header = LocalHeaderBytes(entry, written);
        out_.Patch(written.offset, header.data(), header.size());
    }

    void WriteDirectory() {
        const std::uint64_t directoryAt = out_.Offset();
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const TZipSourceEntry& entry = entries_[i];
            const TWrittenEntry& written = writtenEntries_[i];
            const bool bigSizes = written.size >= k32BitEscape;
            const bool bigOffset = written.offset >= k32BitEscape;
            std::vector<std::uint8_t> extra;
            if (bigSizes || bigOffset) {
                extra.resize(4 + (bigSizes ? 16 : 0) + (bigOffset ? 8 : 0));
                PutU16(extra.data(), kZip64ExtraId);
                PutU16(extra.data() + 2, static_cast<std::uint16_t>(extra.size() - 4));
                std::size_t at = 4;
                if (bigSizes) {
                    PutU64(extra.data() + at, written.size);
                    PutU64(extra.data() + at + 8, written.compressedSize);
                    at += 16;
                }
                if (bigOffset)
                    PutU64(extra.data() + at, written.offset);
            }
            TZACentralHeader header;
            header.Signature = kCentralHeaderSignature;
            header.VersionMadeBy = kVersionMadeBy;
            header.VersionNeeded = written.versionNeeded;
            header.Flags = written.flags;
            header.Method = written.method;
            header.ModTime = written.dosTime;
            header.ModDate = written.dosDate;
            header.Crc32 = written.crc;
            header.CompressedSize =
                bigSizes ? k32BitEscape : static_cast<std::uint32_t>(written.compressedSize);
            header.UncompressedSize = bigSizes ? k32BitEscape : static_cast<std::uint32_t>(written.size);
            header.NameLength = static_cast<std::uint16_t>(entry.name.size());
            header.ExtraLength = static_cast<std::uint16_t>(extra.size());
            header.ExternalAttr = written.externalAttr;
            header.LocalHeaderOffset = bigOffset ? k32BitEscape : static_cast<std::uint32_t>(written.offset);
            std::uint8_t fixed[TZACentralHeader::kSize];
            header.Store(fixed);
            out_.Write(fixed, sizeof fixed);
            out_.Write(entry.name.data(), entry.name.size());
            out_.Write(extra.data(), extra.size());
        }
        const std::uint64_t directorySize = out_.Offset() - directoryAt;
        const std::uint64_t count = entries_.size();
        // A full 16-bit count is read as damage without the Zip64 records, so it takes them too.
        const bool zip64 =
            count >= k16BitEscape || directoryAt >= k32BitEscape || directorySize >= k32BitEscape;
        if (zip64) {
            const std::uint64_t recordAt = out_.Offset();
            TZAZip64EndRecord record;
            record.Signature = kZip64EndRecordSignature;
            record.RecordSize = TZAZip64EndRecord::kSize - 12;
            record.VersionMadeBy = kVersionMadeBy;
            record.VersionNeeded = kVersionZip64;
            record.EntriesOnDisk = count;
            record.TotalEntries = count;
            record.DirectorySize = directorySize;
            record.DirectoryOffset = directoryAt;
            std::uint8_t bytes[TZAZip64EndRecord::kSize];
            record.Store(bytes);
            out_.Write(bytes, sizeof bytes);
            TZAZip64Locator locator;
            locator.Signature = kZip64LocatorSignature;
            locator.EndRecordOffset = recordAt;
            locator.TotalDisks = 1;
            std::uint8_t located[TZAZip64Locator::kSize];
            locator.Store(located);
            out_.Write(located, sizeof located);
        }
        TZAEndRecord end;
        end.Signature = kEndRecordSignature;
        end.EntriesOnDisk = count >= k16BitEscape ? k16BitEscape : static_cast<std::uint16_t>(count);
        end.TotalEntries = end.EntriesOnDisk;
        end.DirectorySize =
            directorySize >= k32BitEscape ? k32BitEscape : static_cast<std::uint32_t>(directorySize);
        end.DirectoryOffset =
            directoryAt >= k32BitEscape ? k32BitEscape : static_cast<std::uint32_t>(directoryAt);
        std::uint8_t bytes[TZAEndRecord::kSize];
        end.Store(bytes);
        out_.Write(bytes, sizeof bytes);
    }

    TArchiveOutput out_;
    const std::vector<TZipSourceEntry>& entries_;
    TZipWriteOptions options_;
    std::vector<TWrittenEntry> writtenEntries_;
    std::uint64_t bytesPacked_ = 0;
    // Files too large to hold whole, which the writer reads and deflates itself; fixed before the helpers
    // start.
    std::vector<bool> streamed_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<TPreparedData>> slots_;
    std::size_t next_ = 0;
    std::size_t written_ = 0;
    std::size_t limit_ = 1;
    unsigned threads_ = 1;
    bool stop_ = false;
};

// A file name next to `path` that nothing else uses.
std::string TemporaryNameFor(const std::string& path) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = path + ".tmp" + std::to_string(random() % 1000000);
        std::error_code error;
        if (!std::filesystem::exists(candidate, error) && !error)
            return candidate;
    }
    throw EFCreateError("Cannot create file " + path);
}

// Removes the temporary file unless it was renamed into place.
class TTemporaryFile {
public:
    explicit TTemporaryFile(std::string path) : path_(std::move(path)) {}
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;
    ~TTemporaryFile() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    const std::string& Path() const { return path_; }
    void Keep() { path_.clear(); }

private:
    std::string path_;
};

} // namespace

void DosDateTimeOf(std::int64_t time, std::uint16_t& date, std::uint16_t& dosTime) {
    const auto when = static_cast<std::time_t>(time);
    const std::tm* local = std::localtime(&when);
    if (local == nullptr || local->tm_year < 80) {
        date = (1 << 5) | 1; // 1980-01-01 00:00:00, the earliest the format holds
        dosTime = 0;
        return;
    }
    if (local->tm_year > 207) {
        date = static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31);
        dosTime = static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29);
        return;
    }
    date = static_cast<std::uint16_t>(((local->tm_year - 80) << 9) | ((local->tm_mon + 1) << 5) |
                                      local->tm_mday);
    dosTime = static_cast<std::uint16_t>((local->tm_hour << 11) | (local->tm_min << 5) | (local->tm_sec / 2));
}

void WriteZipArchive(const std::string& path, const std::vector<TZipSourceEntry>& entries,
                     const TZipWriteOptions& options) {
    for (const TZipSourceEntry& entry : entries)
        if (entry.name.empty() || entry.name.size() > 0xFFFF)
            throw EZipWriteError("An entry name must have 1 to 65535 bytes: '" + entry.name + "'");
    TTemporaryFile temporary(TemporaryNameFor(path));
    {
        TArchiveWriter writer(temporary.Path(), entries, options);
        writer.Run();
    }
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const TZipSourceEntry& entry : entries)
        names.push_back(entry.name);
    if (options.progress)
        options.progress(0, true);
    CheckZipArchive(temporary.Path(), names);
    std::error_code error;
    std::filesystem::rename(temporary.Path(), path, error);
    if (error)
        throw EFCreateError("Cannot create file " + path);
    temporary.Keep();
}

void CheckZipArchive(const std::string& path, const std::vector<std::string>& names) {
    // The component's defaults read names and data as the launcher's settings do (UTF-8 and OEM names,
    // corrupted entries refused).
    TZipArchiver zip;
    zip.SetRecoverDamagedArchives(false);
    zip.FileName = Utf8ToWide(path);
    zip.OpenInMode(fmOpenRead | fmShareDenyNone);
    TZADirArray& items = zip.DirManager()->Items;
    if (items.Count() != static_cast<std::int32_t>(names.size()))
        throw EZipWriteError("The archive reads back with " + std::to_string(items.Count()) +
                             " entries, not " + std::to_string(names.size()));
    TNullStream sink;
    for (std::int32_t i = 0; i < items.Count(); ++i) {
        const std::string& name = names[static_cast<std::size_t>(i)];
        if (items.Item(i).Name != Utf8ToWide(name))
            throw EZipWriteError("The entry '" + name + "' reads back as '" + WideToUtf8(items.Item(i).Name) +
                                 "'");
        try {
            zip.DecodeEntry(i, sink);
        } catch (const Exception& e) {
            throw EZipWriteError("The entry '" + name + "' does not decode: " + e.Message());
        }
    }
    zip.Close();
}

} // namespace pc
