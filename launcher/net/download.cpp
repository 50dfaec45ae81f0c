#include "launcher/net/download.h"

#include "framework/crypto.h"
#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/http_transport.h"
#include "framework/line_list.h"
#include "framework/output_file.h"
#include "launcher/net/content_range.h"
#include "launcher/net/delivery.h"
#include "launcher/net/transfer.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

namespace pc {
namespace {

// One read hands at most this many bytes to the file, the progress bar and the message pump.
constexpr std::size_t kReadSize = 1024;
constexpr const char* kMismatchReason = "SHA-256 mismatch";
constexpr const char* kWrongRangeReason = "the server sent another part of the file";

std::string TooLargeReason(std::int64_t maxBytes) {
    constexpr std::int64_t kMiB = 1024 * 1024;
    return "larger than " + (maxBytes % kMiB == 0 ? std::to_string(maxBytes / kMiB) + " MiB"
                                                  : std::to_string(maxBytes) + " bytes");
}

// Whether a Content-Range ("bytes 4000-99999/100000") starts at `offset`.
bool RangeStartsAt(const std::string& contentRange, std::int64_t offset) {
    const std::string unit = "bytes ";
    if (AsciiLowerCase(contentRange.substr(0, unit.size())) != unit)
        return false;
    const std::string first = std::to_string(offset) + "-";
    return contentRange.compare(unit.size(), first.size(), first) == 0;
}

bool FitsOnOneLine(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// A body shorter than this is fetched again rather than continued: saving the state (a flushed, atomic
// write) would cost a catch-up over thousands of small patches more than their bytes.
constexpr std::int64_t kStateWorthBytes = 32 * 1024;

// The state that lets a later start continue a download: the URL it was for, then the validator of the
// server's file that the bytes on disk belong to, one per line. A complete download adds a line
// "complete" and its size in bytes; its validator may then be empty when the patch list's SHA-256 vouches
// for the bytes instead.
constexpr const char* kCompleteMark = "complete";

struct TResumeState {
    std::string url;
    std::string validator;
    bool complete = false;
    std::int64_t size = 0;
};

std::optional<TResumeState> LoadResumeState(const std::string& path) {
    if (path.empty() || !IsExistingFile(path))
        return std::nullopt;
    TStringList lines;
    lines.LoadLines(path);
    if (lines.LineCount() == 2 && !lines.LineAt(1).empty())
        return TResumeState{lines.LineAt(0), lines.LineAt(1)};
    if (lines.LineCount() != 4 || lines.LineAt(2) != kCompleteMark)
        return std::nullopt;
    const std::string& size = lines.LineAt(3);
    if (size.empty() || size.size() > 18 || size.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return TResumeState{lines.LineAt(0), lines.LineAt(1), true, std::stoll(size)};
}

// The body's whole length from an answer: the total of a Content-Range, else the Content-Length plus
// what a range starts after; -1 when the server does not say.
std::int64_t WholeLength(const THttpAnswer& answer, std::int64_t rangeStart) {
    if (answer.status == 206) {
        const auto slash = answer.contentRange.rfind('/');
        if (slash != std::string::npos)
            return HeaderCount(answer.contentRange.substr(slash + 1));
    }
    const std::int64_t length = HeaderCount(answer.contentLength);
    return length < 0 ? -1 : length + (answer.status == 206 ? rangeStart : 0);
}

// A destination whose name the file system refuses: the row fails, the installation is not at fault.
struct TUnusableName {
    std::string text;
};

// The destination, written in large pieces: a system call for every read of 1 KiB would cost more than
// the transfer itself. What is held back is written at the end of every attempt, so the next attempt, or
// the next start, continues from bytes that are on disk.
class TBufferedFile {
public:
    bool IsOpen() const { return file_.IsOpen(); }
    TOutputFile& File() { return file_; }

    void Write(const char* data, std::size_t count) {
        if (held_ + count > kWritePiece)
            Flush();
        // Bytes are held back only where the whole piece will fit, so that a full disk stops the reads
        // at the byte where it is met, as writing each read at once would.
        if (held_ == 0)
            holding_ = count < kWritePiece && OutputRoomFor(file_, kWritePiece);
        if (!holding_) {
            WriteOutputBytes(file_, data, count);
            return;
        }
        std::memcpy(piece_.get() + held_, data, count);
        held_ += count;
    }
    void Flush() {
        const std::size_t count = std::exchange(held_, 0);
        if (count > 0)
            WriteOutputBytes(file_, piece_.get(), count);
    }
    // Forgets what is held back: it belongs to a body that is being given up.
    void Drop() { held_ = 0; }
    void Close() {
        if (file_.IsOpen())
            CloseOutputFile(file_);
    }

private:
    static constexpr std::size_t kWritePiece = 256 * 1024;
    TOutputFile file_;
    std::unique_ptr<char[]> piece_ = std::make_unique<char[]>(kWritePiece);
    std::size_t held_ = 0;
    bool holding_ = false;
};

// One call of `Download`: the file its transfer writes and what the server said about it. The engine makes
// the attempts; this sink keeps the bytes, continues them under the server's validator and checks them.
class TDownloadRun final : public TTransferSink {
public:
    TDownloadRun(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar,
                 const DownloadOptions& options, const DownloadLimits& limits)
        : ui_(ui), url_(url), destination_(destination), withProgress_(bar == TProgressBar::pbStep),
          options_(options), limits_(limits), expectedDigest_(AsciiLowerCase(options.sha256)),
          delivery_(options.delivery != nullptr ? *options.delivery : ownDelivery_.emplace()) {
        if (!expectedDigest_.empty())
            hasher_.emplace();
    }

    bool Run(std::string& reason) {
        // Whatever a link or a shared file under this name reaches must stay as it is: the name goes, and
        // with it anything kept there to continue.
        if (IsLinkOrSpecialFile(destination_)) {
            RemoveFile(destination_);
            RemoveState();
        }
        PickUpEarlierStart();
        if (keptWhole_) {
            ShowKeptBytes();
            return true;
        }
        TTransferPlan plan;
        plan.url = url_;
        plan.vouched = !expectedDigest_.empty();
        // A body that no digest vouches for must not come from a plain connection once asked for on TLS.
        plan.keepHttps = expectedDigest_.empty();
        for (int fetch = 1;; ++fetch) {
            TTransferEngine engine(ui_, delivery_, limits_);
            if (!engine.Run(plan, *this, reason)) {
                if (tooLarge_) {
                    // Nothing of a body refused for its size is kept, nor continued later.
                    file_.Close();
                    RemoveFile(destination_);
                    RemoveState();
                } else if (file_.IsOpen()) {
                    file_.Flush(); // what arrived is kept for the next attempt or start
                    file_.Close();
                }
                return false;
            }
            if (confirmedWhole_) {
                // The server's file is still the one kept whole at an earlier start.
                ShowKeptBytes();
                return true;
            }
            Read(buffer_.data(), 0); // the end of the body: the last read takes nothing
            file_.Flush();
            file_.Close();
            if (!hasher_ || hasher_->HexDigest() == expectedDigest_) {
                KeepCompleteState();
                return true;
            }
            // Not the bytes the patch list names: they must be neither applied nor continued later.
            RemoveFile(destination_);
            RemoveState();
            if (fetch == 2) {
                reason = kMismatchReason;
                return false;
            }
            written_ = 0;
            validator_.clear();
            hasher_->Reset();
            hashed_ = true;
        }
    }

    // A full disk leaves nothing half-written behind; the write has already closed the file.
    void DiscardAfterDiskFull() {
        file_.Drop();
        RemoveFile(destination_);
        RemoveState();
    }

    void Prepare(THttpRequest& request) override {
        // Without a validator there is no telling whether the rest would belong to the bytes kept.
        ranged_ = written_ > 0 && !validator_.empty();
        if (ranged_) {
            request.rangeStart = written_;
            request.ifRange = validator_;
        }
        wrongRange_ = false;
    }

    bool Answer(const THttpAnswer& answer) override {
        if (options_.serverDate != nullptr)
            *options_.serverDate = answer.date;
        if (ranged_ && answer.status == 206) {
            if (!RangeStartsAt(answer.contentRange, written_)) {
                wrongRange_ = true;
                return false;
            }
            keptComplete_ = false; // the server's file goes on past what was complete
            total_ = WholeLength(answer, written_);
            if (options_.beforeWriting)
                options_.beforeWriting(HeaderCount(answer.contentLength));
            if (!file_.IsOpen())
                OpenDestination(true);
            if (hasher_ && !hashed_)
                HashBytesOnDisk();
            if (withProgress_ && stepped_ < written_) {
                StepOverKeptBytes();
                TellProgress();
                ui_.PumpMessages();
            }
            return true;
        }
        // The whole body from its first byte: the first answer, or a server that would not continue.
        if (options_.beforeWriting)
            options_.beforeWriting(HeaderCount(answer.contentLength));
        if (file_.IsOpen()) {
            file_.Drop();           // what is held back belongs to the body that is starting over
            OpenDestination(false); // starts the file again
        }
        keptComplete_ = false;
        total_ = WholeLength(answer, 0);
        written_ = 0;
        if (hasher_)
            hasher_->Reset();
        hashed_ = true;
        if (withProgress_ && stepped_ > 0) {
            ui_.SetProgressPosition(0);
            stepped_ = 0;
        }
        // A strong ETag names exactly these bytes; a modification date is the weaker second choice.
        validator_ = !answer.etag.empty() ? answer.etag : answer.lastModified;
        RemoveState(); // saved once the body is worth continuing; an earlier one cannot speak for it
        stateKept_ = false;
        return true;
    }

    bool Body(const char* data, std::size_t size) override {
        if (options_.maxBytes > 0 &&
            written_ + static_cast<std::int64_t>(filled_ + size) > options_.maxBytes) {
            tooLarge_ = true;
            return false;
        }
        while (size > 0) {
            if (filled_ == 0 && size >= kReadSize) {
                Read(data, kReadSize);
                data += kReadSize;
                size -= kReadSize;
            } else {
                const std::size_t take = std::min(size, kReadSize - filled_);
                std::memcpy(buffer_.data() + filled_, data, take);
                filled_ += take;
                data += take;
                size -= take;
                if (filled_ < kReadSize)
                    break;
                filled_ = 0;
                Read(buffer_.data(), kReadSize);
            }
            if (ui_.TerminationRequested())
                return false;
        }
        return true;
    }

    std::optional<TAttemptEnd> Settle(long status, std::string& reason) override {
        if (tooLarge_) {
            reason = TooLargeReason(options_.maxBytes);
            return TAttemptEnd::aeStop; // too large for any place
        }
        FlushBuffer(); // what arrived before an end or a break-off is kept
        if (status == 416 && ranged_) {
            if (keptComplete_) {
                confirmedWhole_ = true;
                return TAttemptEnd::aeDone;
            }
            reason = "HTTP status 416";
            StartOverNextTime(); // the file has changed so that the kept part no longer fits
            return TAttemptEnd::aeRetry;
        }
        if (wrongRange_) {
            reason = kWrongRangeReason;
            StartOverNextTime();
            return TAttemptEnd::aeRetry;
        }
        return std::nullopt;
    }

private:
    void PickUpEarlierStart() {
        const auto state = LoadResumeState(options_.resumeState);
        if (!state || state->url != url_)
            return;
        std::error_code error;
        const auto size = std::filesystem::file_size(destination_, error);
        if (error || size == 0)
            return;
        if (state->complete && !PickUpCompleteArchive(*state, static_cast<std::int64_t>(size)))
            return;
        written_ = static_cast<std::int64_t>(size);
        validator_ = state->validator;
        stateKept_ = true;
        hashed_ = !hasher_; // the kept bytes are hashed once the server agrees to continue
    }

    // An archive that a start fetched whole and could not apply (a full disk during its extraction) is
    // taken again when the list's SHA-256 vouches for it, without asking the server; without one, the
    // server is asked for what follows its last byte under its validator, which it refuses (416) while
    // the file is the same. False when the kept file cannot be taken: it is then fetched afresh.
    bool PickUpCompleteArchive(const TResumeState& state, std::int64_t size) {
        if (size != state.size)
            return false;
        if (hasher_) {
            written_ = size;
            HashBytesOnDisk();
            written_ = 0;
            keptWhole_ = hasher_->HexDigest() == expectedDigest_;
            if (keptWhole_)
                total_ = written_ = size;
            return false;
        }
        if (state.validator.empty())
            return false;
        keptComplete_ = true;
        return true;
    }

    // The bar and the progress line show the kept bytes as read.
    void ShowKeptBytes() {
        total_ = written_;
        if (withProgress_ && stepped_ < written_)
            StepOverKeptBytes();
        TellProgress();
        ui_.PumpMessages();
    }

    // The bytes kept from an earlier start count as read: the bar steps over them.
    void StepOverKeptBytes() {
        for (std::int64_t left = written_ - stepped_; left > 0;) {
            const auto step = static_cast<std::int32_t>(
                std::min<std::int64_t>(left, std::numeric_limits<std::int32_t>::max()));
            ui_.StepProgress(step);
            left -= step;
        }
        stepped_ = written_;
    }

    void TellProgress() {
        if (options_.onProgress)
            options_.onProgress(written_, total_);
    }

    // Creates the destination, or opens it to continue after the bytes written.
    void OpenDestination(bool continueAfterWritten) {
        try {
            if (continueAfterWritten)
                ContinueOutputFile(file_.File(), destination_, written_);
            else
                CreateOutputFile(file_.File(), destination_);
        } catch (const EInOutError& e) {
            if (IsUnusableNameCode(e.ErrorCode))
                throw TUnusableName{e.Message()};
            throw;
        }
    }

    // The next attempt asks for the whole body; the answer to it starts the file again.
    void StartOverNextTime() {
        keptComplete_ = false;
        written_ = 0;
        validator_.clear();
    }

    // One read: the bytes go to the file (created with the first read, so that a transfer failing before
    // it leaves an existing file alone), the bar is stepped by their number, the window is pumped.
    void Read(const char* data, std::size_t count) {
        if (!file_.IsOpen())
            OpenDestination(false);
        file_.Write(data, count);
        written_ += static_cast<std::int64_t>(count);
        if (!stateKept_ && written_ >= kStateWorthBytes) {
            SaveState();
            stateKept_ = true;
        }
        if (hasher_)
            hasher_->Update(data, count);
        if (withProgress_) {
            ui_.StepProgress(static_cast<std::int32_t>(count));
            stepped_ += static_cast<std::int64_t>(count);
        }
        TellProgress();
        ui_.PumpMessages();
    }

    void FlushBuffer() {
        if (filled_ == 0)
            return;
        const std::size_t count = filled_;
        filled_ = 0;
        Read(buffer_.data(), count);
    }

    void HashBytesOnDisk() {
        std::ifstream kept(destination_, std::ios::binary);
        std::array<char, 16 * kReadSize> piece{};
        for (std::int64_t left = written_; left > 0 && kept;) {
            kept.read(piece.data(),
                      static_cast<std::streamsize>(std::min<std::int64_t>(left, std::ssize(piece))));
            const auto got = kept.gcount();
            hasher_->Update(piece.data(), static_cast<std::size_t>(got));
            left -= got;
        }
        hashed_ = true;
    }

    void SaveState() {
        const std::string& path = options_.resumeState;
        if (path.empty())
            return;
        if (validator_.empty() || !FitsOnOneLine(url_) || !FitsOnOneLine(validator_)) {
            RemoveFile(path); // an earlier state cannot speak for this body
            return;
        }
        TStringList lines;
        lines.AppendLine(url_);
        lines.AppendLine(validator_);
        try {
            lines.SaveLines(path);
        } catch (const Exception&) {
            // Without it the next start fetches the whole body again; the download itself goes on.
            RemoveFile(path);
        }
    }

    // A complete archive waits for its extraction; should that not happen at this start, the next one
    // takes it as it is. Small ones are simply fetched again, as their partial downloads are.
    void KeepCompleteState() {
        const std::string& path = options_.resumeState;
        if (path.empty())
            return;
        if ((written_ < kStateWorthBytes && !options_.keepWhole) ||
            (validator_.empty() && expectedDigest_.empty()) || !FitsOnOneLine(url_) ||
            !FitsOnOneLine(validator_)) {
            RemoveFile(path);
            return;
        }
        TStringList lines;
        lines.AppendLine(url_);
        lines.AppendLine(validator_);
        lines.AppendLine(kCompleteMark);
        lines.AppendLine(std::to_string(written_));
        try {
            lines.SaveLines(path);
        } catch (const Exception&) {
            RemoveFile(path);
        }
    }

    void RemoveState() {
        if (!options_.resumeState.empty())
            RemoveFile(options_.resumeState);
    }

    UiPort& ui_;
    const std::string& url_;
    const std::string& destination_;
    const bool withProgress_;
    const DownloadOptions& options_;
    const DownloadLimits& limits_;
    const std::string expectedDigest_;
    std::optional<TDelivery> ownDelivery_; // when the caller passed none
    TDelivery& delivery_;
    std::optional<TSha256> hasher_;
    bool hashed_ = true;     // whether the hasher has taken every byte in the file
    bool stateKept_ = false; // whether the state for a later start is on disk for this body

    TBufferedFile file_;
    std::int64_t written_ = 0; // bytes in the destination that belong to the body
    std::int64_t stepped_ = 0; // what the bar has been stepped by since it was last at 0
    std::string validator_;    // of the server's file that the bytes written belong to
    std::array<char, kReadSize> buffer_{};
    std::size_t filled_ = 0;

    // The current attempt
    bool ranged_ = false;
    bool wrongRange_ = false;
    bool tooLarge_ = false;
    std::int64_t total_ = -1;     // the body's whole length as the server gave it, or -1
    bool keptWhole_ = false;      // the kept archive hashes as the list says: nothing to fetch
    bool keptComplete_ = false;   // the kept bytes were a whole archive; the server is asked to confirm
    bool confirmedWhole_ = false; // and it has
};

void SetFailure(std::string* failure, std::string text) {
    if (failure != nullptr)
        *failure = std::move(text);
}

} // namespace

std::atomic<std::int64_t>& DownloadSpeedLimit() {
    static std::atomic<std::int64_t> limit{0};
    return limit;
}

DownloadLimits& DefaultDownloadLimits() {
    static DownloadLimits limits = [] {
        DownloadLimits made;
        made.maxBytesPerSecond = &DownloadSpeedLimit();
        return made;
    }();
    return limits;
}

bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar) {
    return Download(ui, url, destination, bar, DownloadOptions{}, DefaultDownloadLimits());
}

bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar,
              const DownloadLimits& limits, std::string* failure) {
    return Download(ui, url, destination, bar, DownloadOptions{}, limits, failure);
}

bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar,
              const DownloadOptions& options, const DownloadLimits& limits, std::string* failure) {
    TDownloadRun run(ui, url, destination, bar, options, limits);
    std::string reason;
    bool result = false;
    try {
        result = run.Run(reason);
    } catch (const TUnusableName& refused) {
        // Nothing could be written under that name, so nothing is left of it.
        SetFailure(failure, "the archive cannot be stored as " + destination + ": " + refused.text);
        return false;
    } catch (const EInOutError& e) {
        if (e.ErrorCode == kDiskFullCode)
            run.DiscardAfterDiskFull();
        throw;
    }
    if (!result)
        SetFailure(failure, reason.empty() ? "the transfer failed" : reason);
    return result;
}

void DiscardPartialDownload(const std::string& destination, const std::string& resumeState) {
    RemoveFile(destination);
    RemoveFile(resumeState);
}

} // namespace pc
