// Where the patch list comes from, and how the launcher fetches and believes it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pc {

class UiPort;
class TDelivery;
struct DownloadLimits;

// The places and the key of one installation's patch list, as Config.ini gives them.
struct TListSource {
    std::string url;
    // Where else the list (and its signature) can be fetched from when `url` cannot serve it, in order.
    std::vector<std::string> mirrors;
    // The public key (base64 of DER SubjectPublicKeyInfo) its signature must verify under, when Config.ini
    // names one; a key line without a usable key refuses every list rather than none.
    std::optional<std::string> key;
};

// What became of fetching the list.
struct TFetchedList {
    enum class TEnd {
        leFetched,     // the list is in place and believed
        leUnavailable, // no place could serve it
        leRefused,     // it arrived, but its signature, serial or expiry refuse it; it is removed
        leEnded,       // the application is ending
    };
    TEnd end = TEnd::leUnavailable;
    std::string source;     // the place that served it
    std::string reason;     // why it is unavailable or refused, in words for the log or the operator
    std::string logLine;    // a refusal's log line
    std::string serverDate; // the Date of the answer that brought the list (the server's clock), or empty
};

// Where a fetch keeps what it downloads. By default the installation; a check that only reads (verify)
// downloads into a folder of its own and stores neither a serial nor a statement of trust.
struct TListKeeping {
    std::string downloadDir; // ending with its separator; empty for the installation itself
    bool readOnly = false;
};

// Fetches the patch list of `list` into the list file (kPatchListFileName) of the installation in `appDir` or
// of `keeping`'s folder, from its URL or else from its mirrors in order, each under the list's size cap. With
// a key only a list that verifies under it (its signature from the place that served it) and is neither older
// than the one accepted before nor expired is believed. Its mirror lines are the caller's to take as it reads
// the list (it is read once), for `delivery`'s mirror rules.
TFetchedList FetchPatchList(UiPort& ui, const std::string& appDir, const TListSource& list,
                            TDelivery& delivery, const DownloadLimits& limits,
                            const TListKeeping& keeping = {});

} // namespace pc
