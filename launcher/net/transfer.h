// The one way the launcher brings a body over HTTP: the places that serve a URL (the URL, then its
// mirrors, passing over hosts that did not answer), the attempts at each place with the pauses between
// them (the server's Retry-After honoured), and the limits on a dead, stalled or trickling server. What
// the bytes become, which part of the body to ask for and under which validator is the sink's: a file
// that can be continued and checked against its SHA-256, or the entries of a remote archive.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "framework/http_transport.h"

namespace pc {

class UiPort;
class TDelivery;
struct DownloadLimits;

// Attempts at one place: the first and two more after a failure that may pass.
inline constexpr int kMaxAttempts = 3;

// Statuses that mean "not now" rather than "no": worth asking again after a pause.
bool IsPassingStatus(long status);

// How one attempt ended: everything is in, try again here after a pause, try the next place, or stop the
// whole transfer (the player ends the application, the body can be had from no place).
enum class TAttemptEnd { aeDone, aeRetry, aeFail, aeStop };

// What the bytes of a transfer become, and what it asks for.
class TTransferSink {
public:
    virtual ~TTransferSink() = default;
    // The attempts from now on ask `source` (the URL or one of its mirrors).
    virtual void BeginSource(const std::string& source) { (void)source; }
    // Sets the range (and the validator it is wanted for) of the next attempt.
    virtual void Prepare(THttpRequest& request) = 0;
    // The answer's status (below 400) and headers, before its body; false refuses the body.
    virtual bool Answer(const THttpAnswer& answer) = 0;
    // The next bytes of the body, in order; false ends the request.
    virtual bool Body(const char* data, std::size_t size) = 0;
    // The sink's own reading of an attempt that the player did not end (`status` is that of the answer, 0
    // without one): its refusals and what it already has whole. None leaves it to the engine's rules.
    virtual std::optional<TAttemptEnd> Settle(long status, std::string& reason) = 0;
    // The answer came to its end and neither the sink nor the rules found fault: whether that is all.
    virtual TAttemptEnd Complete(std::string& reason) {
        (void)reason;
        return TAttemptEnd::aeDone;
    }
    // Where the bytes stand; an attempt that moves them on renews the count of attempts when the plan
    // says so.
    virtual std::int64_t Position() const { return 0; }
};

// What one transfer asks of the engine besides its sink.
struct TTransferPlan {
    std::string url;
    // A SHA-256 checks the bytes, so a plain http mirror may serve an https URL.
    bool vouched = false;
    // A redirect from https may lead to https only.
    bool keepHttps = false;
    // Attempts that moved the bytes on do not count towards kMaxAttempts.
    bool progressRenewsAttempts = false;
};

// Carries transfers for one caller on the window thread; the window is kept alive while it waits.
class TTransferEngine final : private THttpReceiver {
public:
    TTransferEngine(UiPort& ui, TDelivery& delivery, const DownloadLimits& limits);
    TTransferEngine(UiPort& ui, TDelivery& delivery, const DownloadLimits& limits, THttpTransport& transport);

    // Each place that can serve the plan's URL in turn until the sink has everything (true), or every
    // place failed or the transfer stopped (false, with the reason for the log; when every place was
    // passed over, the first dead host's).
    bool Run(const TTransferPlan& plan, TTransferSink& sink, std::string& reason);

private:
    enum class TStop { stNone, stEnding, stTimeLimit, stStalled, stSlow };

    bool Answer(const THttpAnswer& answer) override;
    bool Body(const char* data, std::size_t size) override;
    bool Waiting() override;

    enum class TSourceEnd { seDone, seNext, seStop };
    TSourceEnd FetchFrom(const std::string& source, std::string& reason);
    TAttemptEnd Attempt(std::string& reason);
    bool Ending();
    bool TooSlow(std::chrono::steady_clock::time_point now);

    UiPort& ui_;
    TDelivery& delivery_;
    const DownloadLimits& limits_;
    THttpTransport& transport_;
    const TTransferPlan* plan_ = nullptr;
    TTransferSink* sink_ = nullptr;
    std::string source_;

    std::chrono::steady_clock::time_point lastProgress_; // the last body byte of any attempt at this place
    // The current attempt
    std::chrono::steady_clock::time_point lastActivity_; // its start or its last body byte
    std::chrono::steady_clock::time_point speedStart_;   // the current period of the low-speed limit
    std::int64_t speedBytes_ = 0;                        // body bytes within it
    long status_ = 0;
    std::string retryAfter_; // as the answer sent it
    bool hostDead_ = false;  // the attempt reached no host
    TStop stop_ = TStop::stNone;
};

// For a transfer that the HTTP client ended with a failure (anything but a whole answer): whether another
// attempt may pass; `reason` gets the words for the log.
bool FailureMayPass(const THttpOutcome& outcome, std::string& reason);

// Waits `length` before the next attempt, keeping the window alive; false, with the reason, when the
// application is ending.
bool PauseBetweenAttempts(UiPort& ui, std::chrono::milliseconds length, std::string& reason);

// The reasons that both sinks and the engine give.
inline constexpr const char* kEndingReason = "the application is ending";
inline constexpr const char* kTimeLimitReason = "time limit";

} // namespace pc
