// HTTP download of one URL into one local file, on the window thread, keeping the window alive.
#pragma once

#include <chrono>
#include <string>

namespace pc {

class UiPort;

// How long a dead or stalled server may hold the launcher up.
struct DownloadLimits {
    // Giving up on a server that does not accept the connection.
    std::chrono::milliseconds connectTimeout{30000};
    // A transfer that stays below one byte per second for this long is abandoned.
    std::chrono::seconds lowSpeedTime{60};
};

// The limits that `Download` uses when none are passed; tests shorten them.
DownloadLimits& DefaultDownloadLimits();

// Fetches `url` (http or https, redirects followed) into `destination`. The body is taken in reads of
// at most 1024 bytes; after each read the bytes are written, the progress bar is stepped by their number
// (when `withProgress`) and pending window messages are handled once.
//
// Returns true when the whole body was written. Returns false when the transfer cannot be made, the
// server answers with a status of 400 or above (the destination is then neither created nor touched),
// or the transfer breaks off or stalls (the destination keeps what was written). Errors creating or
// writing the destination are raised as EInOutError.
bool Download(UiPort& ui, const std::string& url, const std::string& destination, bool withProgress);

// As above with explicit limits; `failure`, when given, receives a short reason when false is returned.
bool Download(UiPort& ui, const std::string& url, const std::string& destination, bool withProgress,
              const DownloadLimits& limits, std::string* failure = nullptr);

} // namespace pc
