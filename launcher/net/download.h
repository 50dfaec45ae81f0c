// HTTP download of one URL into one local file, on the window thread, keeping the window alive.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace pc {

class UiPort;
class TDelivery;

// How long a dead or stalled server may hold the launcher up.
struct DownloadLimits {
    // Giving up on a server that does not accept the connection.
    std::chrono::milliseconds connectTimeout{30000};
    // A transfer that stays below `lowSpeedBytes` per second for this long is abandoned (and tried again),
    // so a server that trickles holds each attempt up for this long at most.
    std::chrono::seconds lowSpeedTime{60};
    // The waits before the second and the third attempt of one download.
    std::array<std::chrono::milliseconds, 2> retryPauses{std::chrono::milliseconds(1000),
                                                         std::chrono::milliseconds(3000)};
    // All attempts of one download together give up once this long has passed without a body byte
    // arriving, so a dead server holds the launcher up for this long at most, whatever the attempts.
    std::chrono::seconds noProgressTime{120};
    // The low-speed limit's rate, in bytes per second.
    std::int64_t lowSpeedBytes = 1024;
    // The player's download speed limit in bytes per second (0: none), read again while bytes arrive; none
    // when null. Every request made with these limits carries it.
    const std::atomic<std::int64_t>* maxBytesPerSecond = nullptr;
};

// The process's download speed limit in bytes per second, 0 for none. A change applies at once, also to a
// transfer under way.
std::atomic<std::int64_t>& DownloadSpeedLimit();

// Whether a download steps the window's progress bar by the bytes it reads.
enum class TProgressBar { pbUntouched, pbStep };

// The limits that `Download` uses when none are passed (they carry `DownloadSpeedLimit`); tests shorten
// them.
DownloadLimits& DefaultDownloadLimits();

// Fetches `url` (http or https, redirects followed) into `destination`. The body is taken in reads of at
// most 1024 bytes; after each read the bytes go to the file (written in larger pieces where the disk has
// room for a whole piece, and at the end of every attempt), the progress bar is stepped by their number
// (with `TProgressBar::pbStep`) and pending window messages are handled once. Without a SHA-256 to check the
// body against, a download that starts on https follows redirects to https only. A link, a pipe or a
// hard-linked file under the name of `destination` is removed first, never written through.
//
// A transfer that breaks off, a connection closed before the answer and the statuses 408, 429 and 5xx are
// tried again, up to three attempts with pauses between them (spread at random; a 429 or 503 waits as its
// Retry-After asks, up to a minute); a broken transfer goes on from its first missing byte when the
// server's validator allows. A host that refuses the connection or does not accept it within the connect
// limit is not asked again by the same delivery policy. Returns true when the whole body was written. Returns
// false when the transfer cannot be made, the server answers with a status of 400 or above (the destination
// is then neither created nor touched), or the last attempt breaks off or stalls (the destination keeps what
// was written). Errors creating or writing the destination are raised as EInOutError.
bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar);

// As above with explicit limits; `failure`, when given, receives a short reason when false is returned.
bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar,
              const DownloadLimits& limits, std::string* failure = nullptr);

// What a patch archive's download adds to a plain one.
struct DownloadOptions {
    // The SHA-256 that the patch list gives for the body, as 64 lower-case hexadecimal digits, or empty.
    // It is computed while the bytes are written. A body that hashes otherwise is deleted and fetched once
    // more from the start; when it differs again the download fails and leaves no file behind.
    std::string sha256;
    // Where what is needed to continue this download at a later start is kept (the server's validator,
    // the URL); empty for a download that always starts afresh. Once the download is complete it says so,
    // and the archive is kept for the next start until the caller removes both (see
    // DiscardPartialDownload): a complete archive that the SHA-256 above, or the server's unchanged
    // validator, vouches for is not fetched again.
    std::string resumeState;
    // A body that grows beyond this many bytes is refused and its file removed; 0 for no bound. Listed
    // sizes are not one: servers list wrong ones.
    std::int64_t maxBytes = 0;
    // Told after every read how many bytes the file holds and how many the whole body has (below 0 when
    // the server does not say).
    std::function<void(std::int64_t done, std::int64_t total)> onProgress = nullptr;
    // Told, once the server has answered and before any of its body is written, how many bytes are still
    // to come (its Content-Length; below 0 when it does not say). An error it raises ends the download
    // with the destination as it was.
    std::function<void(std::int64_t toCome)> beforeWriting = nullptr;
    // The run's delivery policy: the places to fetch from (the URL, then its mirrors), the hosts that did
    // not answer earlier, the pauses between attempts. None: the URL alone, with a policy of this call's own.
    TDelivery* delivery = nullptr;
    // With `resumeState`: a complete archive is kept for the next start whatever its size, not only a large
    // one (a preloaded patch waits for its release time, when nothing but the list may be fetched).
    bool keepWhole = false;
    // Given the server's clock (the Date of the answer that brought the body), when not null.
    std::string* serverDate = nullptr;
};

// A download that survives broken connections and, with `options.resumeState`, a broken-off start: see
// DownloadOptions. With a delivery policy whose mirrors cover the URL, each mirror is tried in order once
// the places before it have failed; the bytes kept so far are continued there only under the same
// validator, and the SHA-256 checks the result whichever place served it. Returns and raises as the plain
// `Download`; `failure` gets the reason for a false. A destination whose name the file system refuses (too
// long, refused characters) is no error of the installation: false, with the reason.
bool Download(UiPort& ui, const std::string& url, const std::string& destination, TProgressBar bar,
              const DownloadOptions& options, const DownloadLimits& limits, std::string* failure = nullptr);

// Removes a partial download and the state kept for continuing it; either may be missing.
void DiscardPartialDownload(const std::string& destination, const std::string& resumeState);

} // namespace pc
