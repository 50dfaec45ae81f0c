// The HTTP transport on libcurl: one easy handle driven by one multi handle, both kept for the whole
// process so that connections and TLS sessions carry over from one request to the next.
#include "framework/helpers.h"
#include "framework/http_transport.h"

#include <curl/curl.h>

#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <string_view>

namespace pc {
namespace {

// Body bytes that curl has handed over but the receiver has not taken yet. When a piece does not fit, the
// transfer is paused until the receiver has caught up, so memory stays fixed whatever the size of the body.
// curl hands over at most CURL_MAX_WRITE_SIZE bytes at a time and a delivered buffer is empty again, so
// the held piece always fits then.
constexpr std::size_t kPendingCapacity = 4 * CURL_MAX_WRITE_SIZE;
constexpr long kMaxRedirects = 20;
// Only web URLs are fetched or followed: a redirect must not reach local files or other services.
constexpr const char* kAllowedProtocols = "http,https";
constexpr const char* kSecureProtocols = "https";
// How long one wait for the network lasts before the receiver is asked whether to go on waiting.
constexpr int kPollMilliseconds = 200;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// Keeps the request attached to the session while it runs; it is detached on every path, also when the
// receiver raises, so that the kept handles serve the next request.
class Attachment {
public:
    Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        attached_ = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() {
        if (attached_)
            curl_multi_remove_handle(multi_, easy_);
    }
    bool Attached() const { return attached_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool attached_ = false;
};

// What curl's write callback shares with the request loop. The callback only buffers: errors and window
// messages must never travel through curl's C frames.
struct Pending {
    std::array<char, kPendingCapacity> bytes{};
    std::size_t end = 0;
    bool paused = false;
};

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& pending = *static_cast<Pending*>(user);
    const std::size_t length = size * count;
    if (length > pending.bytes.size() - pending.end) {
        if (length > pending.bytes.size())
            return 0; // cannot happen with curl's piece size; refuse rather than grow
        pending.paused = true;
        return CURL_WRITEFUNC_PAUSE; // curl keeps the piece and hands it over again on resume
    }
    std::memcpy(pending.bytes.data() + pending.end, data, length);
    pending.end += length;
    return length;
}

// A header of the final answer (after redirects), or of the answer of request `request` (counted from 0),
// or empty.
std::string HeaderValue(CURL* easy, const char* name, int request = -1) {
    curl_header* header = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, request, &header) != CURLHE_OK || header == nullptr)
        return {};
    return header->value;
}

THttpAnswer ReadAnswer(CURL* easy) {
    THttpAnswer answer;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &answer.status);
    std::string etag = HeaderValue(easy, "ETag");
    // A weak ETag does not promise identical bytes, so it cannot guard a range.
    if (etag.rfind("W/", 0) != 0)
        answer.etag = std::move(etag);
    answer.lastModified = HeaderValue(easy, "Last-Modified");
    answer.contentRange = HeaderValue(easy, "Content-Range");
    answer.contentLength = HeaderValue(easy, "Content-Length");
    answer.retryAfter = HeaderValue(easy, "Retry-After");
    answer.date = HeaderValue(easy, "Date");
    return answer;
}

bool HasScheme(const std::string& url, std::string_view scheme) {
    return StartsWithAsciiCaseless(url, scheme);
}

bool IsHttpsUrl(const std::string& url) {
    return HasScheme(url, "https://");
}

bool IsWebUrl(const std::string& url) {
    return HasScheme(url, "http://") || IsHttpsUrl(url);
}

// The PEM file that replaces the system's authorities, or empty.
std::string& TrustedCertificates() {
    static std::string file;
    return file;
}

THttpFailure FailureKind(CURLcode result, bool answered) {
    switch (result) {
    case CURLE_OK:
        return THttpFailure::hfNone;
    case CURLE_COULDNT_CONNECT:
        return THttpFailure::hfRefused;
    case CURLE_OPERATION_TIMEDOUT:
        return THttpFailure::hfTimeLimit;
    case CURLE_PARTIAL_FILE:
        return THttpFailure::hfBrokenBody;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return answered ? THttpFailure::hfBrokenBody : THttpFailure::hfRefused;
    default:
        return THttpFailure::hfOther;
    }
}

// Whether the request ended without ever reaching the host it named: refused, or the connect limit ran
// out before a connection stood. A redirect's target failing says nothing about the first host.
bool NoConnectionMade(CURL* easy, CURLcode result, bool answered) {
    if (answered || (result != CURLE_COULDNT_CONNECT && result != CURLE_OPERATION_TIMEDOUT))
        return false;
    long redirects = 0;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
    if (redirects > 0)
        return false;
    if (result == CURLE_COULDNT_CONNECT)
        return true;
    curl_off_t connected = 0; // microseconds until the connection stood; 0 when it never did
    return curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK && connected == 0;
}

std::int64_t SpeedLimit(const THttpRequest& request) {
    const std::int64_t rate = request.maxBytesPerSecond != nullptr ? request.maxBytesPerSecond->load() : 0;
    return rate > 0 ? rate : 0;
}

class TCurlTransport final : public THttpTransport {
public:
    TCurlTransport() {
        curl_global_init(CURL_GLOBAL_DEFAULT); // a failure shows up as null handles below
        multi_.reset(curl_multi_init());
        easy_.reset(curl_easy_init());
    }

    THttpOutcome Fetch(const THttpRequest& request, THttpReceiver& receiver) override {
        if (!multi_ || !easy_)
            return {THttpFailure::hfOther, "cannot set up the HTTP client"};
        CURL* easy = easy_.get();
        // Clears the previous request's options; the connections and the TLS session cache stay.
        curl_easy_reset(easy);
        pending_.end = 0;
        pending_.paused = false;
        errorText_[0] = '\0';

        const std::string range = RangeSpec(request);
        HeaderList headers;
        if (!range.empty()) {
            if (!request.ifRange.empty()) {
                const std::string line = "If-Range: " + request.ifRange;
                headers.reset(curl_slist_append(nullptr, line.c_str()));
                if (!headers)
                    return {THttpFailure::hfOther, "cannot set up the request"};
            }
        }
        const bool keepHttps = request.keepHttps && IsHttpsUrl(request.url);
        std::int64_t rate = SpeedLimit(request);
        const std::string& trusted = TrustedCertificates();
        const bool configured =
            curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                             keepHttps ? kSecureProtocols : kAllowedProtocols) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            (trusted.empty() || (curl_easy_setopt(easy, CURLOPT_CAINFO, trusted.c_str()) == CURLE_OK &&
                                 curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK)) &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, request.userAgent.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                             static_cast<long>(request.connectTimeout.count())) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(request.lowSpeedLimit)) ==
                CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.lowSpeedTime.count())) ==
                CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TakeBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &pending_) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText_.data()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(rate)) == CURLE_OK;
        if (!configured)
            return {THttpFailure::hfOther, "cannot set up the request"};

        Attachment attachment(multi_.get(), easy);
        if (!attachment.Attached())
            return {THttpFailure::hfOther, "cannot start the request"};

        bool answered = false;
        CURLcode result = CURLE_OK;
        for (bool done = false;;) {
            int running = 0;
            if (curl_multi_perform(multi_.get(), &running) != CURLM_OK)
                return {THttpFailure::hfOther, "the HTTP client failed"};
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                    result = message->data.result;
                    done = true;
                }
            }
            // Bodies of redirect answers are never handed over, so the first body bytes (or the end of an
            // answer without any) come with the final answer's headers in place.
            const bool bodyArrived = pending_.end > 0;
            if (!answered && (bodyArrived || (done && result == CURLE_OK))) {
                answered = true;
                if (!receiver.Answer(ReadAnswer(easy)))
                    return {THttpFailure::hfStopped, {}};
            }
            if (bodyArrived) {
                const std::size_t count = pending_.end;
                const bool more = receiver.Body(pending_.bytes.data(), count);
                pending_.end = 0;
                if (!more)
                    return {THttpFailure::hfStopped, {}};
            }
            if (done)
                break;
            // The player changed the limit: curl's own receive limit takes the new rate from here on.
            if (const std::int64_t now = SpeedLimit(request); now != rate) {
                rate = now;
                curl_easy_setopt(easy, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(rate));
            }
            if (pending_.paused) {
                // The buffer is empty again: take the held piece and go on.
                pending_.paused = false;
                curl_easy_pause(easy, CURLPAUSE_CONT);
                continue;
            }
            if (curl_multi_poll(multi_.get(), nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK)
                return {THttpFailure::hfOther, "the HTTP client failed"};
            if (!bodyArrived && !receiver.Waiting())
                return {THttpFailure::hfStopped, {}};
        }
        if (result == CURLE_OK)
            return {};
        if (result == CURLE_UNSUPPORTED_PROTOCOL && keepHttps) {
            // The follow stopped at the last redirect answer, whose Location names the step down; the
            // count already includes the follow that was refused.
            long redirects = 0;
            curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
            const std::string next = redirects > 0
                                         ? HeaderValue(easy, "Location", static_cast<int>(redirects - 1))
                                         : std::string();
            if (IsWebUrl(next) && !IsHttpsUrl(next))
                return {THttpFailure::hfOther, "refused a redirect from https to " + next};
        }
        THttpOutcome outcome{FailureKind(result, answered), errorText_[0] != '\0'
                                                                ? std::string(errorText_.data())
                                                                : curl_easy_strerror(result)};
        outcome.noConnection = NoConnectionMade(easy, result, answered);
        return outcome;
    }

private:
    // What curl writes into is declared first, so that it outlives the handles.
    Pending pending_;
    std::array<char, CURL_ERROR_SIZE> errorText_{};
    MultiHandle multi_;
    EasyHandle easy_;
};

} // namespace

bool SetTrustedCertificates(const std::string& pemFile) {
    TrustedCertificates() = pemFile;
    return true;
}

THttpTransport& PlatformHttpTransport() {
    static TCurlTransport transport;
    return transport;
}

} // namespace pc
