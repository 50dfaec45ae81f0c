// Where a download goes to next and how long it waits first: the mirrors of a run's archives, the
// server's pacing (Retry-After), pauses spread at random so that launchers that met the same busy moment do
// not come back in the same moment, and the hosts that did not answer in this run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

struct THttpOutcome;

// The longest pause a server's Retry-After can ask for; a longer one is cut to this.
inline constexpr std::chrono::seconds kRetryAfterCap{60};

// The pause a Retry-After value asks for at `now`: delta seconds ("120") or an HTTP date (the three forms
// HTTP knows, always GMT); a date in the past asks for none. Empty when the value is neither. Not capped.
std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& value,
                                                    std::chrono::system_clock::time_point now);

// An HTTP date (the three forms HTTP knows, always GMT), as the Date of an answer gives the server's clock;
// nothing when the text is none.
std::optional<std::chrono::system_clock::time_point> ParseHttpDate(const std::string& text);

// A patch list line `//mirror PREFIX ALT [ALT...]`: an archive whose URL starts with PREFIX may also be
// fetched from each ALT followed by the rest of its URL, in order.
struct TMirrorRule {
    std::string prefix;
    std::vector<std::string> alternatives;
    bool operator==(const TMirrorRule&) const = default;
};

// How many mirror lines a list may give, and how many alternatives one line: the ones beyond are ignored,
// so that a hostile list cannot make every row's download search or try without end.
inline constexpr std::size_t kMaxMirrorLines = 256;
inline constexpr std::size_t kMaxMirrorAlternatives = 16;

// One mirror line taken apart. `problem` says what is wrong with it (lint reports it), empty when nothing
// is; `usable` whether launchers take its rule (a line with too many alternatives keeps the first ones) or
// skip the line.
struct TMirrorLine {
    TMirrorRule rule;
    std::string problem;
    bool usable = false;
};
// Whether `line` is meant as a mirror line.
bool IsMirrorLine(const std::string& line);
TMirrorLine ParseMirrorLine(const std::string& line);
// The usable mirror rules of a patch list's text, in the list's order, the first kMaxMirrorLines of them.
std::vector<TMirrorRule> MirrorRulesOf(const std::string& listText);
// Adds the rule of one line of a list to `rules` when it is a usable mirror line and there is room: for
// taking the rules while the list is read.
void TakeMirrorLine(std::string_view line, std::vector<TMirrorRule>& rules);

// The host a URL reaches, as "scheme://host:port" in lower case with the scheme's port filled in; empty
// when the URL names none.
std::string HostOfUrl(const std::string& url);

// Process-wide choices for the delivery of every later run.
struct DeliverySettings {
    // Retry pauses spread at random; off only for a benchmark that compares against fixed pauses.
    bool spreadPauses = true;
};
DeliverySettings& DefaultDeliverySettings();

// The delivery policy of one update run, shared by every download of it.
class TDelivery {
public:
    TDelivery();
    // With a fixed seed for the pauses' spread (tests).
    explicit TDelivery(std::uint64_t seed);

    void SetMirrorRules(std::vector<TMirrorRule> rules) { rules_ = std::move(rules); }
    const std::vector<TMirrorRule>& MirrorRules() const { return rules_; }

    // Where `url` can be fetched from, in the order to try: the URL itself, then the alternatives of the
    // mirror rule with the longest prefix that the URL starts with. Unless `vouched` (a SHA-256 will check
    // the bytes), an https URL is never taken from a plain http alternative.
    std::vector<std::string> SourcesOf(const std::string& url, bool vouched) const;

    // Whether the host of `url` failed to answer earlier in this run.
    bool IsDeadHost(const std::string& url) const;
    // Takes note of how a request to `url` ended: a connection that was refused or not made within the
    // connect limit marks its host dead for the rest of the run. True when it did.
    bool NoteOutcome(const std::string& url, const THttpOutcome& outcome);
    // The reason a download gives for a host that is not asked again.
    static std::string DeadHostReason(const std::string& url);

    // The pause before the next attempt, where the download would wait `planned`: after a 429 or 503 with
    // a Retry-After the server's pause (at most kRetryAfterCap), else `planned`. Spread at random, a
    // planned pause between half and one and a half times its length; the server's pause up to half again
    // but never shorter than asked, and never beyond the cap on its account.
    std::chrono::milliseconds RetryPause(std::chrono::milliseconds planned, long status,
                                         const std::string& retryAfter);
    std::chrono::milliseconds RetryPause(std::chrono::milliseconds planned, long status,
                                         const std::string& retryAfter,
                                         std::chrono::system_clock::time_point now);

    bool SpreadsPauses() const { return spread_; }
    void SetSpreadPauses(bool spread) { spread_ = spread; }

private:
    std::chrono::milliseconds Spread(std::chrono::milliseconds pause, double low, double high);

    std::vector<TMirrorRule> rules_;
    std::set<std::string> deadHosts_;
    bool spread_;
    std::mt19937_64 random_;
};

} // namespace pc
