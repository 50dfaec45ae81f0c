// One HTTP GET request at a time, as the platform's HTTP client makes it. What to fetch again, from where,
// and what to do with the bytes is decided above this interface; a platform only has to carry one request
// and say how it ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pc {

struct THttpRequest {
    std::string url; // http or https; redirects are followed, to http and https only
    // When `url` is https, a redirect may lead to https only: a body that nothing else vouches for must
    // not come over a plain connection that anyone on the way can change.
    bool keepHttps = false;
    std::string userAgent;
    // The body from this byte to its end (a range request), or the whole body when negative.
    std::int64_t rangeStart = -1;
    // With `rangeStart`: the range's last byte (inclusive); to the body's end when negative.
    std::int64_t rangeEnd = -1;
    // Without `rangeStart`: the body's last this many bytes (a tail range), when positive. An archive's
    // directory sits at its end, and its length is not known before the first answer.
    std::int64_t rangeTail = -1;
    // With a range: the validator (strong ETag or Last-Modified) that the range is only wanted for; a
    // server whose file no longer matches answers with the whole body instead.
    std::string ifRange;
    std::chrono::milliseconds connectTimeout{30000};
    // Below `lowSpeedLimit` bytes per second for `lowSpeedTime` ends the request.
    std::int64_t lowSpeedLimit = 1024;
    std::chrono::seconds lowSpeedTime{60};
    // The most body bytes per second to take (the player's download speed limit), 0 for no limit; none
    // when null. Read again while the body arrives, so that a new choice slows or frees a running transfer.
    const std::atomic<std::int64_t>* maxBytesPerSecond = nullptr;
};

// The value of a Range header ("bytes=" omitted) that `request` asks for, or empty for the whole body.
inline std::string RangeSpec(const THttpRequest& request) {
    if (request.rangeStart >= 0)
        return std::to_string(request.rangeStart) + "-" +
               (request.rangeEnd >= request.rangeStart ? std::to_string(request.rangeEnd) : std::string());
    if (request.rangeTail > 0)
        return "-" + std::to_string(request.rangeTail);
    return {};
}

// The final answer, after any redirects.
struct THttpAnswer {
    long status = 0;
    std::string etag;          // a strong ETag as sent, quotes included; empty when absent or weak
    std::string lastModified;  // as sent; empty when absent
    std::string contentRange;  // as sent; empty when absent
    std::string contentLength; // as sent; empty when absent
    std::string retryAfter;    // as sent (seconds or an HTTP date); empty when absent
    std::string date;          // the server's clock as sent (an HTTP date); empty when absent
};

enum class THttpFailure {
    hfNone,       // the answer came whole (whatever its status)
    hfRefused,    // no answer: the connection was refused, or reset or closed before an answer
    hfBrokenBody, // the answer broke off in the middle of its body
    hfTimeLimit,  // the connect time or the low-speed limit ran out
    hfStopped,    // the receiver asked to stop
    hfOther,      // anything else: a bad URL, a refused certificate, a redirect loop, ...
};

struct THttpOutcome {
    THttpFailure failure = THttpFailure::hfNone;
    std::string text; // the client's description of a failure, for people
    // No connection to the requested URL's host was made at all: it refused, or the connect limit ran
    // out. A failure after a redirect does not count: the host asked answered.
    bool noConnection = false;
};

// Takes what one request brings. Its calls never come from inside the HTTP client's own frames, so they may
// raise errors and handle window messages.
class THttpReceiver {
public:
    virtual ~THttpReceiver() = default;
    // The final answer's status and headers, once, before any piece of its body (for an answer without a
    // body, before the request ends). False ends the request without taking the body.
    virtual bool Answer(const THttpAnswer& answer) = 0;
    // The next piece of the body, in order, of at least one byte. False ends the request.
    virtual bool Body(const char* data, std::size_t size) = 0;
    // Called every few tenths of a second while no body arrives (the launcher keeps its window going
    // there). False ends the request.
    virtual bool Waiting() = 0;
};

class THttpTransport {
public:
    virtual ~THttpTransport() = default;
    // Makes one request and hands its answer to `receiver`. Errors that the receiver raises pass through,
    // and the transport stays usable for the next request.
    virtual THttpOutcome Fetch(const THttpRequest& request, THttpReceiver& receiver) = 0;
};

// The certificates (a PEM file) that TLS servers must chain to from now on, in place of the system's
// authorities; empty for the system's again. For a private deployment or a test server on loopback.
// False when the platform's client cannot take certificates of its own (WinInet trusts the system's
// store only).
bool SetTrustedCertificates(const std::string& pemFile);

// The platform's transport, one for the process. It keeps connections (and TLS sessions) open between
// requests, so that consecutive downloads from one server share them. Window thread only.
THttpTransport& PlatformHttpTransport();

} // namespace pc
