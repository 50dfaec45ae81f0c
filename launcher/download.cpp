#include "launcher/download.h"

#include "framework/helpers.h"
#include "framework/output_file.h"
#include "launcher/ui_port.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace pc {
namespace {

// One read hands at most this many bytes to the file, the progress bar and the message pump.
constexpr std::size_t kReadSize = 1024;
// Body bytes that curl has handed over but the loop has not read yet. When a piece does not fit, the
// transfer is paused until the loop has caught up, so memory stays fixed whatever the size of the body.
// curl hands over at most CURL_MAX_WRITE_SIZE bytes at a time, and after a drain less than one read is
// left, so a drained buffer always takes the next piece.
constexpr std::size_t kPendingCapacity = 4 * CURL_MAX_WRITE_SIZE;
static_assert(kPendingCapacity >= CURL_MAX_WRITE_SIZE + kReadSize);
constexpr long kMaxRedirects = 20;
// Only web URLs are fetched or followed: a redirect must not reach local files or other services.
constexpr const char* kAllowedProtocols = "http,https";

void EnsureCurlInitialised() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialised; // a failure shows up as a null easy handle below
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

// Keeps the request attached to the session while the transfer runs; detaching comes before either
// handle is released, on every path.
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

// What curl's callback shares with the read loop. The callback only buffers: file errors and window
// messages must never travel through curl's C frames.
struct Pending {
    CURL* easy = nullptr;
    std::array<char, kPendingCapacity> bytes{};
    std::size_t begin = 0;
    std::size_t end = 0;
    bool paused = false;
    bool statusChecked = false;
    long refusedStatus = 0;
};

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& pending = *static_cast<Pending*>(user);
    const std::size_t length = size * count;
    if (!pending.statusChecked) {
        // Bodies of redirect answers are never handed over, so this is the final answer's status. An
        // error page must not end up stored as a patch list or an archive.
        long status = 0;
        curl_easy_getinfo(pending.easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400) {
            pending.refusedStatus = status;
            return 0; // ends the transfer before any byte reaches the destination
        }
        pending.statusChecked = true;
    }
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

class Reader {
public:
    Reader(UiPort& ui, const std::string& destination, bool withProgress)
        : ui_(ui), destination_(destination), withProgress_(withProgress) {}

    // One read: the bytes go to the file, the bar is stepped by their number, the window is pumped.
    // The destination is created with the first read, so a transfer that fails before it leaves an
    // existing file alone.
    void Read(const char* data, std::size_t count) {
        if (!file_.IsOpen())
            CreateOutputFile(file_, destination_);
        WriteOutputBytes(file_, data, count);
        if (withProgress_)
            ui_.StepProgress(static_cast<std::int32_t>(count));
        ui_.PumpMessages();
    }

    // Reads whole 1024-byte pieces while the body is still coming; once it has ended (`all`), also the
    // last, shorter piece. So every read but the last takes 1024 bytes, as the progress bar expects.
    void Drain(Pending& pending, bool all) {
        while (pending.end - pending.begin >= kReadSize || (all && pending.begin < pending.end)) {
            const std::size_t count = std::min(kReadSize, pending.end - pending.begin);
            Read(pending.bytes.data() + pending.begin, count);
            pending.begin += count;
        }
        const std::size_t left = pending.end - pending.begin;
        std::memmove(pending.bytes.data(), pending.bytes.data() + pending.begin, left);
        pending.begin = 0;
        pending.end = left;
    }

    void Finish() {
        if (file_.IsOpen())
            CloseOutputFile(file_);
    }

private:
    UiPort& ui_;
    const std::string& destination_;
    bool withProgress_;
    TOutputFile file_;
};

void SetFailure(std::string* failure, std::string text) {
    if (failure != nullptr)
        *failure = std::move(text);
}

} // namespace

DownloadLimits& DefaultDownloadLimits() {
    static DownloadLimits limits;
    return limits;
}

bool Download(UiPort& ui, const std::string& url, const std::string& destination, bool withProgress) {
    return Download(ui, url, destination, withProgress, DefaultDownloadLimits());
}

bool Download(UiPort& ui, const std::string& url, const std::string& destination, bool withProgress,
              const DownloadLimits& limits, std::string* failure) {
    EnsureCurlInitialised();
    // What curl writes into must outlive both handles.
    Pending pending;
    std::array<char, CURL_ERROR_SIZE> errorText{};
    MultiHandle session(curl_multi_init());
    EasyHandle request(curl_easy_init());
    if (!session || !request) {
        SetFailure(failure, "cannot set up the HTTP client");
        return false;
    }
    CURL* easy = request.get();
    pending.easy = easy;
    const std::string clientName = NamePart(ExecutablePath());

    bool configured = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_USERAGENT, clientName.c_str()) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                                       static_cast<long>(limits.connectTimeout.count())) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                                       static_cast<long>(limits.lowSpeedTime.count())) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TakeBody) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &pending) == CURLE_OK &&
                      curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText.data()) == CURLE_OK;
    if (!configured) {
        SetFailure(failure, "cannot set up the request");
        return false;
    }

    Attachment attachment(session.get(), easy);
    if (!attachment.Attached()) {
        SetFailure(failure, "cannot start the request");
        return false;
    }

    Reader reader(ui, destination, withProgress);
    CURLcode outcome = CURLE_OK;
    for (bool done = false; !done;) {
        int running = 0;
        if (curl_multi_perform(session.get(), &running) != CURLM_OK) {
            outcome = CURLE_FAILED_INIT;
            break;
        }
        reader.Drain(pending, false);
        if (pending.paused) {
            // The buffer is empty again: take the held piece and go on reading.
            pending.paused = false;
            curl_easy_pause(easy, CURLPAUSE_CONT);
            continue;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(session.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                outcome = message->data.result;
                done = true;
            }
        }
        if (!done && curl_multi_poll(session.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
            outcome = CURLE_FAILED_INIT;
            break;
        }
    }
    reader.Drain(pending, true); // what arrived before an end or a break-off is kept

    bool result = false;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (pending.refusedStatus != 0 || (outcome == CURLE_OK && status >= 400)) {
        SetFailure(failure, "HTTP status " +
                                std::to_string(pending.refusedStatus != 0 ? pending.refusedStatus : status));
    } else if (outcome != CURLE_OK) {
        SetFailure(failure,
                   errorText[0] != '\0' ? std::string(errorText.data()) : curl_easy_strerror(outcome));
    } else {
        reader.Read(pending.bytes.data(), 0); // the end of the body: the last read takes nothing
        result = true;
    }
    reader.Finish();
    return result;
}

} // namespace pc
