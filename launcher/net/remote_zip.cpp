#include "launcher/net/remote_zip.h"

#include "archive/decode.h"
#include "archive/zip_records.h"
#include "framework/helpers.h"
#include "framework/http_transport.h"
#include "launcher/net/content_range.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/download_progress.h"
#include "launcher/net/transfer.h"
#include "launcher/ui_port.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace pc {
namespace {

using Clock = std::chrono::steady_clock;

// The end record with the longest comment and the Zip64 locator before it, with room to spare: one tail
// request finds the end of any archive, and the whole directory of a small one.
constexpr std::int64_t kTailBytes = 66 * 1024;
// From a server that ignores ranges the whole archive streams past; this much of its end is kept, so that
// the directory of a client with tens of thousands of files comes with it and needs no second pass.
constexpr std::int64_t kStreamedTailKeep = 4 << 20;
// Wanted entries closer together than this are fetched in one request: the bytes between cost less than a
// request of their own.
constexpr std::int64_t kNeighbourGap = 16 * 1024;
// The window is kept alive at least once per this many body bytes.
constexpr std::int64_t kPumpEvery = 64 * 1024;
constexpr std::size_t kInflatePiece = 64 * 1024;
constexpr const char* kChangedReason = "the archive changed on the server while it was read";

std::string Broken(const std::string& what) {
    return "the archive's directory does not hold together: " + what;
}

// Takes the bytes of one transfer at their place in the archive.
class TByteTaker {
public:
    virtual ~TByteTaker() = default;
    // The next byte wanted; below 0 when the answer may start anywhere (the archive's tail).
    virtual std::int64_t Next() const = 0;
    // The bytes at `offset`, which is Next() when that is not below 0. Bytes past what is wanted are
    // ignored.
    virtual void Take(std::int64_t offset, const char* data, std::size_t size) = 0;
    virtual bool Done() const = 0;
};

// Keeps the last bytes that pass, up to its capacity, and where they lie.
class TTailKeeper final : public TByteTaker {
public:
    TTailKeeper(std::int64_t capacity, const std::int64_t& archiveSize)
        : capacity_(capacity), archiveSize_(archiveSize) {}

    std::int64_t Next() const override { return bytes_.empty() ? -1 : start_ + std::ssize(bytes_); }
    void Take(std::int64_t offset, const char* data, std::size_t size) override {
        if (bytes_.empty())
            start_ = offset;
        bytes_.insert(bytes_.end(), data, data + size);
        if (std::ssize(bytes_) >= 2 * capacity_) {
            const std::int64_t drop = std::ssize(bytes_) - capacity_;
            bytes_.erase(bytes_.begin(), bytes_.begin() + drop);
            start_ += drop;
        }
    }
    bool Done() const override { return archiveSize_ >= 0 && Next() == archiveSize_; }

    // The bytes [from, from + count) when all are kept, else null.
    const std::uint8_t* At(std::int64_t from, std::int64_t count) const {
        if (from < start_ || count < 0 || from + count > start_ + std::ssize(bytes_))
            return nullptr;
        return bytes_.data() + (from - start_);
    }
    std::int64_t Start() const { return start_; }
    std::int64_t End() const { return start_ + std::ssize(bytes_); }
    // Hands the bytes kept over; none are kept afterwards.
    std::vector<std::uint8_t> Release() { return std::move(bytes_); }

private:
    std::int64_t capacity_;
    const std::int64_t& archiveSize_;
    std::int64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Keeps the bytes [start, end) of the archive.
class TSpanKeeper final : public TByteTaker {
public:
    // Memory grows with the bytes that arrive, not with the length asked for.
    TSpanKeeper(std::int64_t start, std::int64_t end) : start_(start), end_(end) {
        bytes_.reserve(static_cast<std::size_t>(std::min<std::int64_t>(end - start, 1 << 20)));
    }
    std::int64_t Next() const override { return start_ + std::ssize(bytes_); }
    void Take(std::int64_t offset, const char* data, std::size_t size) override {
        (void)offset;
        const auto take = std::min<std::int64_t>(static_cast<std::int64_t>(size), end_ - Next());
        bytes_.insert(bytes_.end(), data, data + take);
    }
    bool Done() const override { return Next() == end_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::int64_t start_;
    std::int64_t end_;
    std::vector<std::uint8_t> bytes_;
};

struct TInflater {
    z_stream stream{};
    bool open = false;
    TInflater() = default;
    TInflater(const TInflater&) = delete;
    TInflater& operator=(const TInflater&) = delete;
    ~TInflater() { Close(); }
    bool Open() {
        Close();
        stream = z_stream{};
        open = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
        return open;
    }
    void Close() {
        if (open)
            inflateEnd(&stream);
        open = false;
    }
};

// Reads the entries of one request as their bytes stream past, in the archive's order, and hands each
// entry's contents to the sink. An entry whose bytes do not match the directory is abandoned and the
// stream goes on to the next one.
class TEntryStream final : public TByteTaker {
public:
    TEntryStream(std::vector<const TRemoteEntry*> entries, std::vector<std::int64_t> spanEnds,
                 TRemoteEntrySink& sink, std::vector<std::string>& failures)
        : entries_(std::move(entries)), spanEnds_(std::move(spanEnds)), sink_(sink), failures_(failures) {
        if (!entries_.empty())
            next_ = entries_.front()->localHeaderOffset;
    }

    std::int64_t Next() const override { return next_; }
    bool Done() const override { return index_ >= entries_.size(); }

    void Take(std::int64_t offset, const char* data, std::size_t size) override {
        while (size > 0 && !Done()) {
            if (offset < next_) { // between entries
                const auto skip = std::min<std::int64_t>(next_ - offset, static_cast<std::int64_t>(size));
                offset += skip;
                data += skip;
                size -= static_cast<std::size_t>(skip);
                continue;
            }
            std::size_t used = 0;
            try {
                used = inData_ ? TakeData(data, size) : TakeHeader(data, size);
            } catch (...) {
                AbandonCurrent();
                throw;
            }
            offset += static_cast<std::int64_t>(used);
            data += used;
            size -= used;
        }
    }

    // A transfer that failed for good: the entry begun goes, and nothing more is read.
    void AbandonCurrent() noexcept {
        if (!begun_)
            return;
        begun_ = false;
        try {
            sink_.Abandon(*entries_[index_]);
        } catch (...) {
            // The transfer's own failure is the one to report.
        }
    }

private:
    const TRemoteEntry& Entry() const { return *entries_[index_]; }

    std::size_t TakeHeader(const char* data, std::size_t size) {
        std::size_t want = TZALocalHeader::kSize;
        if (header_.size() >= TZALocalHeader::kSize) {
            const auto local = TZALocalHeader::Parse(header_.data());
            want += std::size_t{local.NameLength} + local.ExtraLength;
        }
        const std::size_t take = std::min(size, want - header_.size());
        header_.insert(header_.end(), data, data + take);
        next_ += static_cast<std::int64_t>(take);
        if (header_.size() == TZALocalHeader::kSize) {
            const auto local = TZALocalHeader::Parse(header_.data());
            if (local.Signature != kLocalHeaderSignature) {
                Fail("no local header where the directory puts it");
                return take;
            }
            const std::int64_t dataStart = Entry().localHeaderOffset +
                                           static_cast<std::int64_t>(TZALocalHeader::kSize) +
                                           local.NameLength + local.ExtraLength;
            if (dataStart + Entry().compressedSize > spanEnds_[index_]) {
                Fail("its data runs into the next entry");
                return take;
            }
        }
        if (header_.size() >= TZALocalHeader::kSize && header_.size() == Wanted())
            StartData();
        return take;
    }

    std::size_t Wanted() const {
        const auto local = TZALocalHeader::Parse(header_.data());
        return TZALocalHeader::kSize + local.NameLength + local.ExtraLength;
    }

    void StartData() {
        const auto local = TZALocalHeader::Parse(header_.data());
        const std::string_view localName(
            reinterpret_cast<const char*>(header_.data()) + TZALocalHeader::kSize, local.NameLength);
        if (localName != Entry().name) {
            Fail("its local header names another file");
            return;
        }
        if ((local.Flags & kFlagEncrypted) != 0) {
            Fail("it is encrypted");
            return;
        }
        if (local.Method != Entry().method) {
            Fail("its local header gives another compression method");
            return;
        }
        if (Entry().method == 8 && !inflater_.Open())
            throw std::bad_alloc();
        header_.clear();
        left_ = Entry().compressedSize;
        produced_ = 0;
        crc_ = 0;
        ended_ = Entry().method == 0;
        inData_ = true;
        sink_.Begin(Entry());
        begun_ = true;
        if (left_ == 0)
            FinishEntry();
    }

    std::size_t TakeData(const char* data, std::size_t size) {
        const auto take =
            static_cast<std::size_t>(std::min<std::int64_t>(left_, static_cast<std::int64_t>(size)));
        left_ -= static_cast<std::int64_t>(take);
        next_ += static_cast<std::int64_t>(take);
        if (Entry().method == 0 ? Produce(data, take) : Inflate(data, take)) {
            if (left_ == 0)
                FinishEntry();
        }
        return take;
    }

    bool Inflate(const char* data, std::size_t size) {
        z_stream& z = inflater_.stream;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(size);
        while (z.avail_in > 0) {
            if (ended_) {
                Fail("its compressed data goes on past its end");
                return false;
            }
            int result = Z_OK;
            if (!InflateStep(z, result))
                return false;
            if (result == Z_BUF_ERROR && z.avail_out != 0)
                break; // needs more input
        }
        // Output that did not fit may still be pending without input left.
        while (!ended_ && z.avail_out == 0) {
            int result = Z_OK;
            if (!InflateStep(z, result))
                return false;
        }
        return true;
    }

    // One inflate call into the output buffer, its bytes passed on; false once the entry has failed.
    bool InflateStep(z_stream& z, int& result) {
        z.next_out = out_.data();
        z.avail_out = static_cast<uInt>(out_.size());
        result = inflate(&z, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            ended_ = true;
        else if (result != Z_OK && result != Z_BUF_ERROR) {
            Fail("its compressed data is damaged");
            return false;
        }
        return Produce(reinterpret_cast<const char*>(out_.data()), out_.size() - z.avail_out);
    }

    bool Produce(const char* data, std::size_t size) {
        if (size == 0)
            return true;
        if (produced_ + static_cast<std::int64_t>(size) > Entry().size) {
            Fail("it holds more bytes than the directory says");
            return false;
        }
        crc_ = ZipCrc32(crc_, data, size);
        produced_ += static_cast<std::int64_t>(size);
        sink_.Write(data, size);
        return true;
    }

    void FinishEntry() {
        if (!ended_)
            Fail("its compressed data ends early");
        else if (produced_ != Entry().size)
            Fail("it holds fewer bytes than the directory says");
        else if (crc_ != Entry().crc32)
            Fail("its CRC-32 does not match the directory's");
        else {
            begun_ = false;
            sink_.Commit(Entry());
            Advance();
        }
    }

    // The entry cannot be had whole from these bytes: it goes, and the next one is read.
    void Fail(const std::string& why) {
        failures_.push_back(Entry().name + ": " + why);
        if (begun_) {
            begun_ = false;
            sink_.Abandon(Entry());
        }
        Advance();
    }

    void Advance() {
        inData_ = false;
        header_.clear();
        inflater_.Close();
        ++index_;
        if (!Done())
            next_ = std::max(next_, Entry().localHeaderOffset);
    }

    std::vector<const TRemoteEntry*> entries_;
    std::vector<std::int64_t> spanEnds_; // where each entry's bytes must end at the latest
    TRemoteEntrySink& sink_;
    std::vector<std::string>& failures_;
    std::size_t index_ = 0;
    std::int64_t next_ = 0;
    std::vector<std::uint8_t> header_;
    bool inData_ = false;
    bool begun_ = false;
    bool ended_ = false;
    std::int64_t left_ = 0; // compressed bytes still to come
    std::int64_t produced_ = 0;
    std::uint32_t crc_ = 0;
    TInflater inflater_;
    std::array<Bytef, kInflatePiece> out_{};
};

} // namespace

class TRemoteZip::TImpl {
public:
    TImpl(UiPort& ui, std::string url, const DownloadLimits& limits, TRemoteZipBounds bounds,
          TDelivery* delivery)
        : ui_(ui), url_(std::move(url)), limits_(limits), bounds_(bounds),
          delivery_(delivery != nullptr ? *delivery : ownDelivery_.emplace()) {}

    UiPort& Ui() const { return ui_; }

    bool ReadDirectory(std::string& failure) {
        if (!directoryTried_) {
            directoryTried_ = true;
            directoryRead_ = LoadDirectory(directoryFailure_);
            if (!directoryRead_)
                entries_.clear();
        }
        if (!directoryRead_)
            failure = directoryFailure_;
        return directoryRead_;
    }

    const std::vector<TRemoteEntry>& Entries() const { return entries_; }

    const TRemoteEntry* Find(std::string_view name) const {
        const auto found =
            std::lower_bound(byName_.begin(), byName_.end(), name,
                             [this](std::size_t i, std::string_view n) { return entries_[i].name < n; });
        return found != byName_.end() && entries_[*found].name == name ? &entries_[*found] : nullptr;
    }

    bool Fetch(const std::vector<const TRemoteEntry*>& wanted, TRemoteEntrySink& sink, std::string& failure) {
        if (!directoryRead_) {
            failure = directoryTried_ ? directoryFailure_ : "the archive's directory has not been read";
            return false;
        }
        std::vector<std::string> failures;
        std::vector<std::size_t> indexes;
        for (const TRemoteEntry* entry : wanted) {
            if (entry < entries_.data() || entry >= entries_.data() + entries_.size()) {
                failure = "an entry that is not in this archive's directory was asked for";
                return false;
            }
            if (entry->method != 0 && entry->method != 8)
                failures.push_back(entry->name + ": compression method " + std::to_string(entry->method) +
                                   " is not supported");
            else
                indexes.push_back(static_cast<std::size_t>(entry - entries_.data()));
        }
        std::sort(indexes.begin(), indexes.end(), [this](std::size_t a, std::size_t b) {
            return entries_[a].localHeaderOffset < entries_[b].localHeaderOffset;
        });
        indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());

        for (std::size_t first = 0; first < indexes.size();) {
            // Neighbours go in one request.
            std::size_t last = first;
            while (last + 1 < indexes.size() &&
                   entries_[indexes[last + 1]].localHeaderOffset - spanEnd_[indexes[last]] <= kNeighbourGap)
                ++last;
            std::vector<const TRemoteEntry*> group;
            std::vector<std::int64_t> ends;
            for (std::size_t i = first; i <= last; ++i) {
                group.push_back(&entries_[indexes[i]]);
                ends.push_back(spanEnd_[indexes[i]]);
            }
            const std::int64_t end = ends.back();
            const std::int64_t start = group.front()->localHeaderOffset;
            TEntryStream stream(std::move(group), std::move(ends), sink, failures);
            // Entries within the archive's end came with the directory's request and are not asked for again.
            if (start >= keptStart_ && end <= keptStart_ + std::ssize(kept_))
                stream.Take(start, reinterpret_cast<const char*>(kept_.data()) + (start - keptStart_),
                            static_cast<std::size_t>(end - start));
            std::string reason;
            if (!stream.Done() && !Transfer(stream, end, reason)) {
                stream.AbandonCurrent();
                failure = reason;
                return false;
            }
            first = last + 1;
        }
        if (failures.empty())
            return true;
        failure = failures.front();
        if (failures.size() > 1)
            failure += " (and " + std::to_string(failures.size() - 1) + " more)";
        return false;
    }

    std::int64_t BytesReceived() const { return bytesReceived_; }

private:
    // The bytes a taker wants, up to `end` (exclusive; below 0: to the archive's end, or a tail when
    // nothing is known yet), continued from the first byte missing after a failure. Every place must serve
    // the same archive, of the same size; the bytes already taken stay.
    class TArchiveSink final : public TTransferSink {
    public:
        TArchiveSink(TImpl& owner, TByteTaker& taker, std::int64_t end)
            : owner_(owner), taker_(taker), end_(end) {}

        void BeginSource(const std::string& source) override {
            if (source != owner_.source_) {
                // Another server's validator names its own copy; the size still has to agree.
                owner_.source_ = source;
                owner_.validator_.clear();
            }
        }

        void Prepare(THttpRequest& request) override {
            // What an entry brings is checked against the directory's CRC-32 only, and the caller checks
            // it against a digest it trusts; a server that ignores ranges is asked all the same.
            const std::int64_t next = taker_.Next();
            if (next < 0) {
                request.rangeTail = kTailBytes;
            } else {
                request.rangeStart = next;
                const std::int64_t last = (end_ >= 0 ? end_ : owner_.archiveSize_) - 1;
                if (last >= next)
                    request.rangeEnd = last;
                request.ifRange = owner_.validator_;
            }
            changed_ = false;
            whole_ = false;
            wrongAnswer_.clear();
        }

        bool Answer(const THttpAnswer& answer) override {
            const std::string validator = !answer.etag.empty() ? answer.etag : answer.lastModified;
            if (!owner_.validator_.empty() && !validator.empty() && validator != owner_.validator_) {
                changed_ = true;
                return false;
            }
            if (owner_.validator_.empty())
                owner_.validator_ = validator;
            std::int64_t size = -1;
            if (answer.status == 206) {
                std::int64_t first = 0;
                std::int64_t last = 0;
                if (!ParseContentRange(answer.contentRange, first, last, size)) {
                    wrongAnswer_ = "the server answered a range request with a range it does not name";
                    return false;
                }
                const std::int64_t next = taker_.Next();
                if (next >= 0 && first > next) {
                    wrongAnswer_ = "the server sent another part of the archive";
                    return false;
                }
                bodyOffset_ = first;
            } else {
                owner_.rangesIgnored_ = true;
                const std::int64_t length = HeaderCount(answer.contentLength);
                if (length >= 0)
                    size = length;
                bodyOffset_ = 0;
                whole_ = true;
            }
            if (size >= 0) {
                if (owner_.archiveSize_ >= 0 && size != owner_.archiveSize_) {
                    changed_ = true;
                    return false;
                }
                owner_.archiveSize_ = size;
            }
            return true;
        }

        bool Body(const char* data, std::size_t size) override {
            owner_.bytesReceived_ += static_cast<std::int64_t>(size);
            std::int64_t at = bodyOffset_;
            bodyOffset_ += static_cast<std::int64_t>(size);
            const std::int64_t next = taker_.Next();
            if (next >= 0 && at < next) {
                const auto skip = std::min<std::int64_t>(next - at, static_cast<std::int64_t>(size));
                at += skip;
                data += skip;
                size -= static_cast<std::size_t>(skip);
            }
            if (size > 0)
                taker_.Take(at, data, size);
            if (owner_.bytesReceived_ - lastPump_ >= kPumpEvery) {
                lastPump_ = owner_.bytesReceived_;
                owner_.ui_.PumpMessages();
            }
            return !taker_.Done();
        }

        std::optional<TAttemptEnd> Settle(long status, std::string& reason) override {
            (void)status;
            // An archive that changed ends the reading: no place can give the rest of the same one.
            if (changed_) {
                reason = kChangedReason;
                return TAttemptEnd::aeStop;
            }
            if (taker_.Done())
                return TAttemptEnd::aeDone;
            if (!wrongAnswer_.empty()) {
                reason = wrongAnswer_;
                return TAttemptEnd::aeFail;
            }
            return std::nullopt;
        }

        TAttemptEnd Complete(std::string& reason) override {
            if (whole_ && owner_.archiveSize_ < 0) {
                // A whole body without a length: its end is the archive's.
                owner_.archiveSize_ = bodyOffset_;
                if (taker_.Done())
                    return TAttemptEnd::aeDone;
            }
            if (whole_) {
                reason = "the archive ends before the bytes its directory names";
                return TAttemptEnd::aeFail;
            }
            reason = "the server sent less than was asked for";
            return TAttemptEnd::aeRetry;
        }

        std::int64_t Position() const override { return taker_.Next(); }

    private:
        TImpl& owner_;
        TByteTaker& taker_;
        const std::int64_t end_;
        std::int64_t bodyOffset_ = 0; // where the next body byte of the current answer lies
        std::int64_t lastPump_ = 0;
        bool changed_ = false;
        bool whole_ = false;
        std::string wrongAnswer_;
    };

    bool Transfer(TByteTaker& taker, std::int64_t end, std::string& reason) {
        TArchiveSink sink(*this, taker, end);
        TTransferPlan plan;
        plan.url = url_;
        // The entries are checked against the directory's CRC-32 only; an https archive is therefore
        // never taken from a plain http mirror, nor redirected to one.
        plan.vouched = false;
        plan.keepHttps = true;
        plan.progressRenewsAttempts = true;
        TTransferEngine engine(ui_, delivery_, limits_);
        return engine.Run(plan, sink, reason);
    }

    // The bytes [from, from + count): from the tail when it holds them, else by a request of their own.
    bool Bytes(const TTailKeeper& tail, std::int64_t from, std::int64_t count, std::vector<std::uint8_t>& out,
               std::string& failure) {
        if (const std::uint8_t* kept = tail.At(from, count)) {
            out.assign(kept, kept + count);
            return true;
        }
        TSpanKeeper span(from, from + count);
        if (!Transfer(span, from + count, failure))
            return false;
        out = span.Bytes();
        return true;
    }

    bool LoadDirectory(std::string& failure) {
        TTailKeeper tail(kStreamedTailKeep, archiveSize_);
        if (!Transfer(tail, -1, failure))
            return false;
        if (tail.End() != archiveSize_) {
            failure = "the server did not send the archive's end";
            return false;
        }

        // The end record: the last signature whose comment reaches exactly to the archive's end.
        std::int64_t endRecord = -1;
        const std::int64_t lowest =
            std::max(tail.Start(), archiveSize_ - std::int64_t{TZAEndRecord::kSize} - 0xFFFF);
        for (std::int64_t at = archiveSize_ - std::int64_t{TZAEndRecord::kSize}; at >= lowest; --at) {
            const std::uint8_t* p = tail.At(at, TZAEndRecord::kSize);
            if (p != nullptr && GetU32(p) == kEndRecordSignature &&
                at + std::int64_t{TZAEndRecord::kSize} + GetU16(p + 20) == archiveSize_) {
                endRecord = at;
                break;
            }
        }
        if (endRecord < 0) {
            failure = "no ZIP archive's end record at the end of the file";
            return false;
        }
        const auto end = TZAEndRecord::Parse(tail.At(endRecord, TZAEndRecord::kSize));
        std::int64_t count = end.TotalEntries;
        std::int64_t size = end.DirectorySize;
        std::int64_t offset = end.DirectoryOffset;
        std::int64_t recordStart = endRecord; // the directory ends at or before it
        bool multiDisk = end.ThisDisk != 0 || end.DirectoryDisk != 0 || end.EntriesOnDisk != end.TotalEntries;
        if (const std::uint8_t* p =
                tail.At(endRecord - std::int64_t{TZAZip64Locator::kSize}, TZAZip64Locator::kSize);
            p != nullptr && GetU32(p) == kZip64LocatorSignature) {
            const auto locator = TZAZip64Locator::Parse(p);
            if (locator.EndRecordOffset >
                static_cast<std::uint64_t>(endRecord - std::int64_t{TZAZip64Locator::kSize} -
                                           std::int64_t{TZAZip64EndRecord::kSize})) {
                failure = Broken("the Zip64 end record lies past the archive's end");
                return false;
            }
            std::vector<std::uint8_t> bytes;
            const auto at = static_cast<std::int64_t>(locator.EndRecordOffset);
            if (!Bytes(tail, at, TZAZip64EndRecord::kSize, bytes, failure))
                return false;
            const auto record = TZAZip64EndRecord::Parse(bytes.data());
            if (record.Signature != kZip64EndRecordSignature) {
                failure = Broken("no Zip64 end record where its locator puts it");
                return false;
            }
            constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            if (record.TotalEntries > kLargest || record.DirectorySize > kLargest ||
                record.DirectoryOffset > kLargest) {
                failure = Broken("the Zip64 end record's counts are beyond any archive");
                return false;
            }
            count = static_cast<std::int64_t>(record.TotalEntries);
            size = static_cast<std::int64_t>(record.DirectorySize);
            offset = static_cast<std::int64_t>(record.DirectoryOffset);
            recordStart = at;
            multiDisk = record.ThisDisk != 0 || record.DirectoryDisk != 0 ||
                        record.EntriesOnDisk != record.TotalEntries;
        }
        if (multiDisk) {
            failure = "archives split over several disks are not supported";
            return false;
        }
        if (count > bounds_.maxEntries) {
            failure = Broken("it claims " + std::to_string(count) + " entries, more than " +
                             std::to_string(bounds_.maxEntries) + " are refused");
            return false;
        }
        if (size > bounds_.maxDirectoryBytes) {
            failure = Broken("it claims " + std::to_string(size) + " bytes, more than " +
                             std::to_string(bounds_.maxDirectoryBytes) + " are refused");
            return false;
        }
        if (offset > recordStart || size > recordStart - offset) {
            failure = Broken("it claims to lie past the archive's end");
            return false;
        }
        if (count > size / std::int64_t{TZACentralHeader::kSize}) {
            failure = Broken("it claims more entries than its bytes can hold");
            return false;
        }
        std::vector<std::uint8_t> directory;
        if (!Bytes(tail, offset, size, directory, failure))
            return false;
        if (!ParseDirectory(directory, count, offset, failure))
            return false;
        keptStart_ = tail.Start();
        kept_ = tail.Release();
        return true;
    }

    bool ParseDirectory(const std::vector<std::uint8_t>& bytes, std::int64_t count,
                        std::int64_t directoryOffset, std::string& failure) {
        entries_.clear();
        entries_.reserve(static_cast<std::size_t>(count));
        std::size_t at = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            if (bytes.size() - at < TZACentralHeader::kSize) {
                failure = Broken("it ends within an entry");
                return false;
            }
            const auto header = TZACentralHeader::Parse(bytes.data() + at);
            const std::size_t length =
                TZACentralHeader::kSize + header.NameLength + header.ExtraLength + header.CommentLength;
            if (header.Signature != kCentralHeaderSignature || bytes.size() - at < length) {
                failure = Broken(header.Signature != kCentralHeaderSignature ? "an entry's header is missing"
                                                                             : "it ends within an entry");
                return false;
            }
            TRemoteEntry entry;
            entry.name.assign(reinterpret_cast<const char*>(bytes.data() + at + TZACentralHeader::kSize),
                              header.NameLength);
            entry.method = header.Method;
            entry.crc32 = header.Crc32;
            entry.compressedSize = header.CompressedSize;
            entry.size = header.UncompressedSize;
            entry.localHeaderOffset = header.LocalHeaderOffset;
            entry.hostSystem = static_cast<std::uint8_t>(header.VersionMadeBy >> 8);
            entry.externalAttributes = header.ExternalAttr;
            if (!ApplyZip64(bytes.data() + at + TZACentralHeader::kSize + header.NameLength,
                            header.ExtraLength, header, entry)) {
                failure = Broken("the Zip64 field of " + entry.name + " is short");
                return false;
            }
            if (entry.localHeaderOffset > directoryOffset ||
                entry.compressedSize > directoryOffset - entry.localHeaderOffset) {
                failure = Broken("the data of " + entry.name + " lies past the directory");
                return false;
            }
            if (entry.method == 0 && entry.compressedSize != entry.size) {
                failure = Broken("the stored entry " + entry.name + " has two sizes");
                return false;
            }
            entries_.push_back(std::move(entry));
            at += length;
        }
        if (at != bytes.size()) {
            failure = Broken("its size is not that of its entries");
            return false;
        }

        // In the archive's order no entry may reach into the next one.
        std::vector<std::size_t> order(entries_.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            return entries_[a].localHeaderOffset < entries_[b].localHeaderOffset;
        });
        spanEnd_.assign(entries_.size(), directoryOffset);
        for (std::size_t k = 0; k < order.size(); ++k) {
            const TRemoteEntry& entry = entries_[order[k]];
            const std::int64_t end =
                k + 1 < order.size() ? entries_[order[k + 1]].localHeaderOffset : directoryOffset;
            const std::int64_t least = entry.localHeaderOffset + std::int64_t{TZALocalHeader::kSize} +
                                       std::ssize(entry.name) + entry.compressedSize;
            if (least > end) {
                failure = Broken("the data of " + entry.name + " overlaps the next entry");
                return false;
            }
            spanEnd_[order[k]] = end;
        }

        byName_.resize(entries_.size());
        for (std::size_t i = 0; i < byName_.size(); ++i)
            byName_[i] = i;
        std::sort(byName_.begin(), byName_.end(),
                  [this](std::size_t a, std::size_t b) { return entries_[a].name < entries_[b].name; });
        for (std::size_t i = 1; i < byName_.size(); ++i)
            if (entries_[byName_[i]].name == entries_[byName_[i - 1]].name) {
                failure = Broken("it names " + entries_[byName_[i]].name + " twice");
                return false;
            }
        return true;
    }

    // The 64-bit values in the extra field stand for the 32-bit ones that are all ones, in this order.
    static bool ApplyZip64(const std::uint8_t* extra, std::size_t length, const TZACentralHeader& header,
                           TRemoteEntry& entry) {
        const bool wantSize = header.UncompressedSize == 0xFFFFFFFF;
        const bool wantCompressed = header.CompressedSize == 0xFFFFFFFF;
        const bool wantOffset = header.LocalHeaderOffset == 0xFFFFFFFF;
        if (!wantSize && !wantCompressed && !wantOffset)
            return true;
        for (std::size_t at = 0; at + 4 <= length;) {
            const std::uint16_t id = GetU16(extra + at);
            const std::size_t size = GetU16(extra + at + 2);
            if (at + 4 + size > length)
                return false;
            if (id == kZip64ExtraId) {
                const std::uint8_t* p = extra + at + 4;
                std::size_t left = size;
                auto take = [&](std::int64_t& field) {
                    if (left < 8)
                        return false;
                    const std::uint64_t value = GetU64(p);
                    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                        return false;
                    field = static_cast<std::int64_t>(value);
                    p += 8;
                    left -= 8;
                    return true;
                };
                return (!wantSize || take(entry.size)) && (!wantCompressed || take(entry.compressedSize)) &&
                       (!wantOffset || take(entry.localHeaderOffset));
            }
            at += 4 + size;
        }
        return false;
    }

    UiPort& ui_;
    const std::string url_;
    const DownloadLimits limits_;
    const TRemoteZipBounds bounds_;
    std::optional<TDelivery> ownDelivery_; // when the caller passed none
    TDelivery& delivery_;
    std::string source_; // the place that the bytes taken so far came from

    std::string validator_; // of the server's file that every answer must come from
    std::int64_t archiveSize_ = -1;
    bool rangesIgnored_ = false;
    std::int64_t bytesReceived_ = 0;

    bool directoryTried_ = false;
    bool directoryRead_ = false;
    std::string directoryFailure_;
    std::vector<TRemoteEntry> entries_;
    std::vector<std::int64_t> spanEnd_; // per entry: where the next entry (or the directory) starts
    std::vector<std::size_t> byName_;   // entry indexes in the order of their names
    // The archive's end as the directory's request brought it (at most a few MiB): entries that lie
    // within it need no request of their own.
    std::vector<std::uint8_t> kept_;
    std::int64_t keptStart_ = 0;
};

TRemoteZip::TRemoteZip(UiPort& ui, std::string url, const DownloadLimits& limits, TRemoteZipBounds bounds,
                       TDelivery* delivery)
    : impl_(std::make_unique<TImpl>(ui, std::move(url), limits, bounds, delivery)) {}

TRemoteZip::~TRemoteZip() = default;

bool TRemoteZip::ReadDirectory(std::string& failure) {
    return impl_->ReadDirectory(failure);
}

const std::vector<TRemoteEntry>& TRemoteZip::Entries() const {
    return impl_->Entries();
}

const TRemoteEntry* TRemoteZip::Find(std::string_view name) const {
    return impl_->Find(name);
}

namespace {

// Hands every call on and shows the bytes written in a progress line; an abandoned entry's bytes no
// longer count (they come again or not at all).
class TProgressSink final : public TRemoteEntrySink {
public:
    TProgressSink(TRemoteEntrySink& inner, TDownloadProgressLine& line, std::int64_t total)
        : inner_(inner), line_(line), total_(total) {}
    void Begin(const TRemoteEntry& entry) override {
        entryDone_ = 0;
        inner_.Begin(entry);
    }
    void Write(const char* data, std::size_t size) override {
        inner_.Write(data, size);
        entryDone_ += static_cast<std::int64_t>(size);
        line_.Update(done_ + entryDone_, total_);
    }
    void Commit(const TRemoteEntry& entry) override {
        inner_.Commit(entry);
        done_ += std::exchange(entryDone_, 0);
    }
    void Abandon(const TRemoteEntry& entry) override {
        entryDone_ = 0;
        inner_.Abandon(entry);
    }
    std::int64_t Done() const { return done_; }

private:
    TRemoteEntrySink& inner_;
    TDownloadProgressLine& line_;
    std::int64_t total_;
    std::int64_t done_ = 0;
    std::int64_t entryDone_ = 0;
};

} // namespace

bool TRemoteZip::Fetch(const std::vector<const TRemoteEntry*>& entries, TRemoteEntrySink& sink,
                       std::string& failure, const std::string& progress) {
    if (progress.empty())
        return impl_->Fetch(entries, sink, failure);
    // The directory's sizes were checked against the bounds; the sum still stops at the largest value.
    std::int64_t total = 0;
    for (const TRemoteEntry* entry : entries)
        total = entry->size > std::numeric_limits<std::int64_t>::max() - total
                    ? std::numeric_limits<std::int64_t>::max()
                    : total + entry->size;
    TDownloadProgressLine line(impl_->Ui(), progress);
    line.Start();
    TProgressSink counting(sink, line, total);
    const bool fetched = impl_->Fetch(entries, counting, failure);
    if (fetched)
        line.Finish(counting.Done(), total);
    return fetched;
}

std::int64_t TRemoteZip::BytesReceived() const {
    return impl_->BytesReceived();
}

} // namespace pc
