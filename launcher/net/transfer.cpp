#include "launcher/net/transfer.h"

#include "framework/helpers.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/ui_port.h"

#include <algorithm>
#include <thread>

namespace pc {
namespace {

using Clock = std::chrono::steady_clock;

// While waiting between attempts the window is kept alive at this pace.
constexpr std::chrono::milliseconds kPausePumpInterval{20};
constexpr std::chrono::milliseconds kSilenceBeforePumping{1000};

std::string SlowReason(std::int64_t bytesPerSecond) {
    return "slower than " + std::to_string(bytesPerSecond) + " bytes per second";
}

} // namespace

bool IsPassingStatus(long status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

TTransferEngine::TTransferEngine(UiPort& ui, TDelivery& delivery, const DownloadLimits& limits)
    : TTransferEngine(ui, delivery, limits, PlatformHttpTransport()) {}

TTransferEngine::TTransferEngine(UiPort& ui, TDelivery& delivery, const DownloadLimits& limits,
                                 THttpTransport& transport)
    : ui_(ui), delivery_(delivery), limits_(limits), transport_(transport) {}

bool TTransferEngine::Run(const TTransferPlan& plan, TTransferSink& sink, std::string& reason) {
    plan_ = &plan;
    sink_ = &sink;
    bool tried = false;
    for (const std::string& source : delivery_.SourcesOf(plan.url, plan.vouched)) {
        if (delivery_.IsDeadHost(source)) {
            if (!tried)
                reason = TDelivery::DeadHostReason(source);
            continue;
        }
        tried = true;
        switch (FetchFrom(source, reason)) {
        case TSourceEnd::seDone:
            return true;
        case TSourceEnd::seStop:
            return false;
        case TSourceEnd::seNext:
            break;
        }
    }
    return false;
}

// The attempts at one place, with the pauses between them.
TTransferEngine::TSourceEnd TTransferEngine::FetchFrom(const std::string& source, std::string& reason) {
    source_ = source;
    sink_->BeginSource(source);
    // each place has the whole time to show a first byte
    lastProgress_ = Clock::now();
    for (int failed = 0;;) {
        const std::int64_t before = sink_->Position();
        const TAttemptEnd end = Attempt(reason);
        if (end == TAttemptEnd::aeDone)
            return TSourceEnd::seDone;
        if (end == TAttemptEnd::aeStop)
            return TSourceEnd::seStop;
        if (end == TAttemptEnd::aeFail || hostDead_)
            return TSourceEnd::seNext;
        if (plan_->progressRenewsAttempts && sink_->Position() > before)
            failed = 0; // it went forward: the next attempt goes on from there
        if (++failed >= kMaxAttempts)
            return TSourceEnd::seNext;
        const auto planned = limits_.retryPauses[static_cast<std::size_t>(
            std::min(failed - 1, static_cast<int>(limits_.retryPauses.size()) - 1))];
        if (!PauseBetweenAttempts(ui_, delivery_.RetryPause(planned, status_, retryAfter_), reason))
            return TSourceEnd::seStop;
    }
}

TAttemptEnd TTransferEngine::Attempt(std::string& reason) {
    if (Clock::now() - lastProgress_ >= limits_.noProgressTime) {
        reason = kTimeLimitReason;
        return TAttemptEnd::aeFail;
    }
    THttpRequest request;
    request.url = source_;
    request.keepHttps = plan_->keepHttps;
    request.userAgent = NamePart(ExecutablePath());
    request.connectTimeout = limits_.connectTimeout;
    request.lowSpeedTime = limits_.lowSpeedTime;
    request.lowSpeedLimit = limits_.lowSpeedBytes;
    request.maxBytesPerSecond = limits_.maxBytesPerSecond;
    sink_->Prepare(request);
    status_ = 0;
    retryAfter_.clear();
    stop_ = TStop::stNone;
    lastActivity_ = Clock::now();
    speedStart_ = lastActivity_;
    speedBytes_ = 0;
    const THttpOutcome outcome = transport_.Fetch(request, *this);
    hostDead_ = delivery_.NoteOutcome(source_, outcome);

    if (stop_ == TStop::stEnding) {
        reason = kEndingReason;
        return TAttemptEnd::aeStop;
    }
    if (const auto settled = sink_->Settle(status_, reason))
        return *settled;
    if (stop_ == TStop::stSlow) {
        reason = SlowReason(limits_.lowSpeedBytes);
        return TAttemptEnd::aeRetry;
    }
    if (stop_ == TStop::stTimeLimit || stop_ == TStop::stStalled) {
        reason = kTimeLimitReason;
        return stop_ == TStop::stStalled ? TAttemptEnd::aeRetry : TAttemptEnd::aeFail;
    }
    if (status_ >= 400) {
        reason = "HTTP status " + std::to_string(status_);
        return IsPassingStatus(status_) ? TAttemptEnd::aeRetry : TAttemptEnd::aeFail;
    }
    if (outcome.failure == THttpFailure::hfNone)
        return sink_->Complete(reason);
    return FailureMayPass(outcome, reason) ? TAttemptEnd::aeRetry : TAttemptEnd::aeFail;
}

bool TTransferEngine::Answer(const THttpAnswer& answer) {
    status_ = answer.status;
    retryAfter_ = answer.retryAfter;
    if (answer.status >= 400)
        return false; // an error page is never any sink's bytes
    if (sink_->Answer(answer))
        return !Ending();
    Ending();
    return false;
}

bool TTransferEngine::Body(const char* data, std::size_t size) {
    const auto now = Clock::now();
    lastProgress_ = now;
    lastActivity_ = now;
    speedBytes_ += static_cast<std::int64_t>(size);
    const bool more = sink_->Body(data, size);
    if (Ending() || !more)
        return false;
    return !TooSlow(now);
}

bool TTransferEngine::Waiting() {
    const auto now = Clock::now();
    // A server silent for a while must not freeze the window: it keeps painting and taking clicks, and the
    // player can end the wait. A flowing transfer pumps at each read, and only there.
    if (now - lastActivity_ >= kSilenceBeforePumping)
        ui_.PumpMessages();
    if (Ending())
        return false;
    if (now - lastProgress_ >= limits_.noProgressTime) {
        stop_ = TStop::stTimeLimit;
        return false;
    }
    // The client's own low-speed limit averages over several seconds, so a burst followed by silence
    // would hold each attempt up for that long; silence alone is reason enough to try again.
    if (now - lastActivity_ >= limits_.lowSpeedTime) {
        stop_ = TStop::stStalled;
        return false;
    }
    return !TooSlow(now);
}

bool TTransferEngine::Ending() {
    if (!ui_.TerminationRequested())
        return false;
    stop_ = TStop::stEnding;
    return true;
}

// The low-speed limit over whole periods of its time: a server that trickles a few bytes now and then is
// never silent long enough for the stall check, so the bytes of each period must reach the rate.
bool TTransferEngine::TooSlow(Clock::time_point now) {
    if (now - speedStart_ < limits_.lowSpeedTime)
        return false;
    if (speedBytes_ < limits_.lowSpeedBytes * limits_.lowSpeedTime.count()) {
        stop_ = TStop::stSlow;
        return true;
    }
    speedStart_ = now;
    speedBytes_ = 0;
    return false;
}

bool FailureMayPass(const THttpOutcome& outcome, std::string& reason) {
    switch (outcome.failure) {
    case THttpFailure::hfRefused:
    case THttpFailure::hfBrokenBody:
        reason = outcome.text;
        return true;
    case THttpFailure::hfTimeLimit:
        reason = kTimeLimitReason;
        return true;
    case THttpFailure::hfNone:
    case THttpFailure::hfStopped:
    case THttpFailure::hfOther:
        break;
    }
    reason = outcome.text.empty() ? "the transfer failed" : outcome.text;
    return false;
}

bool PauseBetweenAttempts(UiPort& ui, std::chrono::milliseconds length, std::string& reason) {
    const auto until = Clock::now() + length;
    for (;;) {
        if (ui.TerminationRequested()) {
            reason = kEndingReason;
            return false;
        }
        const auto now = Clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kPausePumpInterval));
        ui.PumpMessages();
    }
}

} // namespace pc
