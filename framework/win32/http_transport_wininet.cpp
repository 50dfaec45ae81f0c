// The HTTP transport on WinInet: one session for the process (InternetOpenA with the system's proxy
// settings), one InternetOpenUrlA per request and redirect, and the body in InternetReadFile pieces of
// 16 KiB handed on in reads of 1024 bytes. WinInet keeps connections and TLS sessions per session and
// verifies certificates; redirects and their schemes, the low-speed limit and a body that ends before its
// length are handled here.
#include "framework/helpers.h"
#include "framework/http_transport.h"

#include "framework/win32/win32_support.h"

#include <wininet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace pc {
namespace {

// The body reaches the receiver in reads of at most 1024 bytes, as the progress bar steps by them; WinInet
// is asked for several at once, since under Wine each call costs about as much as the bytes themselves.
constexpr DWORD kReadSize = 1024;
constexpr DWORD kFetchSize = 16 * kReadSize;

// An Internet handle, closed with InternetCloseHandle when its owner goes out of scope.
class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() {
        if (handle_ != nullptr)
            ::InternetCloseHandle(handle_);
    }
    HINTERNET Get() const { return handle_; }

private:
    HINTERNET handle_ = nullptr;
};

// Only web URLs are fetched or followed: a redirect must not reach local files or other services.
bool StartsWithScheme(const std::string& url, const char* scheme) {
    return StartsWithAsciiCaseless(url, scheme);
}

bool IsHttpsUrl(const std::string& url) {
    return StartsWithScheme(url, "https://");
}

bool IsWebUrl(const std::string& url) {
    return StartsWithScheme(url, "http://") || IsHttpsUrl(url);
}

std::string ErrorText(DWORD error) {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                         ::GetModuleHandleA("wininet.dll"), error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    return message.empty() ? "WinInet error " + std::to_string(error)
                           : message + " (WinInet error " + std::to_string(error) + ")";
}

// How a request that WinInet gave up on ended.
THttpFailure FailureKind(DWORD error, bool answered) {
    switch (error) {
    case ERROR_INTERNET_TIMEOUT:
        return THttpFailure::hfTimeLimit;
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
        return answered ? THttpFailure::hfBrokenBody : THttpFailure::hfRefused;
    default:
        return answered ? THttpFailure::hfBrokenBody : THttpFailure::hfOther;
    }
}

// A header of the answer as sent; empty when absent.
std::string Header(HINTERNET request, DWORD query) {
    std::array<char, 1024> value{};
    DWORD length = static_cast<DWORD>(value.size());
    DWORD index = 0;
    if (!::HttpQueryInfoA(request, query, value.data(), &length, &index))
        return {};
    return std::string(value.data(), length);
}

THttpAnswer ReadAnswer(HINTERNET request) {
    THttpAnswer answer;
    DWORD status = 0;
    DWORD length = sizeof status;
    DWORD index = 0;
    if (::HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, &index))
        answer.status = static_cast<long>(status);
    std::string etag = Header(request, HTTP_QUERY_ETAG);
    // A weak ETag does not promise identical bytes, so it cannot guard a range.
    if (etag.rfind("W/", 0) != 0)
        answer.etag = std::move(etag);
    answer.lastModified = Header(request, HTTP_QUERY_LAST_MODIFIED);
    answer.contentRange = Header(request, HTTP_QUERY_CONTENT_RANGE);
    answer.contentLength = Header(request, HTTP_QUERY_CONTENT_LENGTH);
    answer.retryAfter = Header(request, HTTP_QUERY_RETRY_AFTER);
    answer.date = Header(request, HTTP_QUERY_DATE);
    return answer;
}

// As many as the curl transport follows.
constexpr int kMaxRedirects = 20;

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The absolute URL a Location header names, taken relative to the URL it answered; empty when none.
std::string RedirectTarget(const std::string& from, const std::string& location) {
    if (location.empty())
        return {};
    std::array<char, 4096> url{};
    DWORD length = static_cast<DWORD>(url.size());
    if (!::InternetCombineUrlA(from.c_str(), location.c_str(), url.data(), &length, ICU_NO_ENCODE))
        return {};
    return std::string(url.data(), length);
}

// Below `bytesPerSecond` for the whole limit ends the request, as the curl transport's limit does.
class SpeedCheck {
public:
    SpeedCheck(std::int64_t bytesPerSecond, std::chrono::seconds limit)
        : bytesPerSecond_(bytesPerSecond), limit_(limit), start_(Clock::now()) {}
    // False when the last window of `limit` seconds brought less than the limit's bytes.
    bool Took(std::size_t bytes) {
        bytes_ += bytes;
        const auto now = Clock::now();
        if (now - start_ < limit_)
            return true;
        const bool fastEnough = bytes_ >= static_cast<std::uint64_t>(bytesPerSecond_) *
                                              static_cast<std::uint64_t>(limit_.count());
        start_ = now;
        bytes_ = 0;
        return fastEnough;
    }

private:
    using Clock = std::chrono::steady_clock;
    std::int64_t bytesPerSecond_;
    std::chrono::seconds limit_;
    Clock::time_point start_;
    std::uint64_t bytes_ = 0;
};

// The player's download speed limit over WinInet, which has none of its own: after each read the body
// waits until the bytes taken since the limit last changed are no more than the limit allows, asking the
// receiver every few tenths of a second whether to go on. The schedule is absolute, counted from the first
// read, so that oversleeping and slow reads are made up by the reads after them. A transfer that fell behind
// (a busy machine, a stalled server) makes up the arrears at no more than a few percent over the limit, so
// that no stretch of the download runs much faster than the player asked; arrears older than a few seconds
// are forgiven.
class Pacer {
public:
    explicit Pacer(const std::atomic<std::int64_t>* limit) : limit_(limit) {}
    // False when the receiver asked to stop during the wait.
    bool Took(std::size_t bytes, THttpReceiver& receiver) {
        const std::int64_t rate = Rate();
        const auto now = Clock::now();
        if (rate != rate_) {
            rate_ = rate;
            start_ = now;
            bytes_ = 0;
            catchUpStart_ = now;
            catchUpBytes_ = 0;
        }
        if (rate_ == 0)
            return true;
        if (now - start_ > kMaxArrears && Nanos(bytes_, rate_) < Nanos(now - start_ - kMaxArrears)) {
            // Too far behind: what is older than the arrears allowed is not made up.
            start_ = now - kMaxArrears;
            bytes_ = rate_ * kMaxArrears.count() / kNanosPerSecond;
        }
        // The catch-up line holds no more than a few reads' worth of time in hand: a read that comes later
        // starts it again from just before now, so that on schedule no read has to wait for its own line.
        if (catchUpStart_ + std::chrono::nanoseconds(Nanos(bytes_ - catchUpBytes_, CatchUpRate())) <
            now - kCatchUpSlack) {
            catchUpStart_ = now - kCatchUpSlack;
            catchUpBytes_ = bytes_;
        }
        bytes_ += static_cast<std::int64_t>(bytes);
        const auto due =
            std::max(start_ + std::chrono::nanoseconds(Nanos(bytes_, rate_)),
                     catchUpStart_ + std::chrono::nanoseconds(Nanos(bytes_ - catchUpBytes_, CatchUpRate())));
        for (;;) {
            const auto at = Clock::now();
            if (at >= due)
                return true;
            // Sleep takes whole milliseconds; rounding up keeps the loop from spinning, and the
            // absolute schedule gives the oversleep back on later reads.
            const auto wait = std::min<Clock::duration>(due - at, kAskEvery);
            ::Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            if (!receiver.Waiting())
                return false;
            if (Rate() != rate_)
                return true; // the new limit counts from the next read
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::int64_t kNanosPerSecond = 1000000000;
    // Arrears are made up at 1.05 times the limit, and only the last three seconds' worth.
    static constexpr std::int64_t kCatchUpPercent = 105;
    static constexpr std::chrono::nanoseconds kMaxArrears{std::chrono::seconds(3)};
    static constexpr std::chrono::nanoseconds kCatchUpSlack{std::chrono::milliseconds(20)};
    static constexpr std::chrono::milliseconds kAskEvery{200};
    static std::int64_t Nanos(std::int64_t bytes, std::int64_t rate) {
        // bytes * 1e9 / rate without overflow for downloads of any size
        return bytes / rate * kNanosPerSecond + bytes % rate * kNanosPerSecond / rate;
    }
    static std::int64_t Nanos(Clock::duration span) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    }
    std::int64_t CatchUpRate() const { return rate_ * kCatchUpPercent / 100; }
    std::int64_t Rate() const {
        const std::int64_t rate = limit_ != nullptr ? limit_->load() : 0;
        return rate > 0 ? rate : 0;
    }
    const std::atomic<std::int64_t>* limit_;
    std::int64_t rate_ = 0;
    Clock::time_point start_{};
    std::int64_t bytes_ = 0;
    Clock::time_point catchUpStart_{};
    std::int64_t catchUpBytes_ = 0;
};

class TWinInetTransport final : public THttpTransport {
public:
    THttpOutcome Fetch(const THttpRequest& request, THttpReceiver& receiver) override {
        if (!IsWebUrl(request.url))
            return {THttpFailure::hfOther, "only http and https URLs are fetched"};
        if (session_ == nullptr || sessionAgent_ != request.userAgent) {
            session_.reset();
            session_ = std::make_unique<InternetHandle>(::InternetOpenA(
                request.userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
            sessionAgent_ = request.userAgent;
        }
        if (session_->Get() == nullptr)
            return {THttpFailure::hfOther, "cannot set up the HTTP client: " + ErrorText(::GetLastError())};
        // The connect limit, and a read that brings nothing for the whole low-speed time fails.
        DWORD connect = static_cast<DWORD>(request.connectTimeout.count());
        DWORD receive = static_cast<DWORD>(std::chrono::milliseconds(request.lowSpeedTime).count());
        ::InternetSetOptionA(session_->Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
        ::InternetSetOptionA(session_->Get(), INTERNET_OPTION_SEND_TIMEOUT, &receive, sizeof receive);
        ::InternetSetOptionA(session_->Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);

        std::string headers;
        if (const std::string range = RangeSpec(request); !range.empty()) {
            headers = "Range: bytes=" + range + "\r\n";
            if (!request.ifRange.empty())
                headers += "If-Range: " + request.ifRange + "\r\n";
        }
        if (!receiver.Waiting())
            return {THttpFailure::hfStopped, {}};
        // Always from the server: a cached copy would neither resume nor show a changed list. Redirects are
        // followed here, not by WinInet: each target must be a web URL, and a loop must end (Wine's WinInet
        // follows a redirect to itself for ever).
        constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                 INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                                 INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
        // Without a digest to check the body, a list or an archive fetched over https stays on https.
        const bool keepHttps = request.keepHttps && IsHttpsUrl(request.url);
        std::string url = request.url;
        std::unique_ptr<InternetHandle> opened;
        for (int hop = 0;; ++hop) {
            const auto opening = std::chrono::steady_clock::now();
            opened = std::make_unique<InternetHandle>(
                ::InternetOpenUrlA(session_->Get(), url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                   static_cast<DWORD>(headers.size()), kFlags, 0));
            if (opened->Get() == nullptr) {
                const DWORD error = ::GetLastError();
                THttpOutcome outcome{FailureKind(error, false), ErrorText(error)};
                // Only the host first asked counts as dead, and a time-out only before the receive limit
                // could have run out: until then it can only have been the connect limit.
                outcome.noConnection =
                    hop == 0 && (error == ERROR_INTERNET_CANNOT_CONNECT ||
                                 (error == ERROR_INTERNET_TIMEOUT &&
                                  std::chrono::steady_clock::now() - opening < request.lowSpeedTime));
                return outcome;
            }
            const long status = ReadAnswer(opened->Get()).status;
            if (!IsRedirect(status))
                break;
            if (hop == kMaxRedirects)
                return {THttpFailure::hfOther, "more than " + std::to_string(kMaxRedirects) + " redirects"};
            url = RedirectTarget(url, Header(opened->Get(), HTTP_QUERY_LOCATION));
            if (url.empty())
                return {THttpFailure::hfOther, "a redirect without a usable target"};
            if (!IsWebUrl(url))
                return {THttpFailure::hfOther, "a redirect led away from http and https"};
            if (keepHttps && !IsHttpsUrl(url))
                return {THttpFailure::hfOther, "refused a redirect from https to " + url};
            if (!receiver.Waiting())
                return {THttpFailure::hfStopped, {}};
        }
        const InternetHandle& handle = *opened;
        if (!receiver.Answer(ReadAnswer(handle.Get())))
            return {THttpFailure::hfStopped, {}};

        // The length the answer announced, to tell a body that ended early from a whole one.
        std::uint64_t announced = 0;
        const std::string length = Header(handle.Get(), HTTP_QUERY_CONTENT_LENGTH);
        const bool hasLength =
            !length.empty() &&
            std::sscanf(length.c_str(), "%llu", reinterpret_cast<unsigned long long*>(&announced)) == 1;
        std::uint64_t received = 0;
        SpeedCheck speed(request.lowSpeedLimit, request.lowSpeedTime);
        Pacer pacer(request.maxBytesPerSecond);
        std::array<char, kFetchSize> fetched{};
        for (;;) {
            DWORD got = 0;
            if (!::InternetReadFile(handle.Get(), fetched.data(), kFetchSize, &got)) {
                const DWORD error = ::GetLastError();
                return {FailureKind(error, true), ErrorText(error)};
            }
            if (got == 0)
                break;
            received += got;
            if (!speed.Took(got))
                return {THttpFailure::hfTimeLimit, "the transfer stayed below " +
                                                       std::to_string(request.lowSpeedLimit) +
                                                       " bytes per second"};
            for (DWORD at = 0; at < got; at += kReadSize)
                if (!receiver.Body(fetched.data() + at, std::min(kReadSize, got - at)))
                    return {THttpFailure::hfStopped, {}};
            if (!pacer.Took(got, receiver))
                return {THttpFailure::hfStopped, {}};
        }
        if (hasLength && received < announced)
            return {THttpFailure::hfBrokenBody, "the answer ended after " + std::to_string(received) +
                                                    " of " + std::to_string(announced) + " bytes"};
        return {};
    }

private:
    std::unique_ptr<InternetHandle> session_;
    std::string sessionAgent_;
};

} // namespace

bool SetTrustedCertificates(const std::string& pemFile) {
    return pemFile.empty(); // WinInet verifies against the system's certificate store only
}

THttpTransport& PlatformHttpTransport() {
    static TWinInetTransport transport;
    return transport;
}

} // namespace pc
