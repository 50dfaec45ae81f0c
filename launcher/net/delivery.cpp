#include "launcher/net/delivery.h"

#include "framework/helpers.h"
#include "framework/http_transport.h"
#include "framework/line_list.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string_view>

namespace pc {
namespace {

using namespace std::chrono;

bool IsDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// 1 to 12 for an English month abbreviation, 0 otherwise.
unsigned MonthNumber(const std::string& name) {
    static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (name == kMonths[i])
            return static_cast<unsigned>(i + 1);
    return 0;
}

// "hh:mm:ss" into seconds of the day.
std::optional<seconds> TimeOfDay(const std::string& text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        return std::nullopt;
    const std::string h = text.substr(0, 2), m = text.substr(3, 2), s = text.substr(6, 2);
    if (!IsDigits(h) || !IsDigits(m) || !IsDigits(s))
        return std::nullopt;
    const int hours = std::stoi(h), minutes = std::stoi(m), secs = std::stoi(s);
    if (hours > 23 || minutes > 59 || secs > 60)
        return std::nullopt;
    return seconds(hours * 3600 + minutes * 60 + secs);
}

std::optional<system_clock::time_point> DateTime(int yearValue, unsigned monthValue,
                                                 const std::string& dayText, const std::string& timeText) {
    if (!IsDigits(dayText) || dayText.size() > 2 || monthValue == 0)
        return std::nullopt;
    const year_month_day date{year(yearValue), month(monthValue),
                              day(static_cast<unsigned>(std::stoi(dayText)))};
    const auto time = TimeOfDay(timeText);
    if (!date.ok() || !time)
        return std::nullopt;
    return system_clock::time_point(sys_days(date).time_since_epoch() + *time);
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

// The three date forms of HTTP: "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" and
// "Sun Nov  6 08:49:37 1994".
std::optional<system_clock::time_point> HttpDate(const std::string& text) {
    const std::vector<std::string> words = Words(text);
    if (words.size() == 6 && words[0].size() == 4 && words[0][3] == ',' && words[5] == "GMT" &&
        IsDigits(words[3]) && words[3].size() == 4)
        return DateTime(std::stoi(words[3]), MonthNumber(words[2]), words[1], words[4]);
    if (words.size() == 4 && words[0].size() > 1 && words[0].back() == ',' && words[3] == "GMT" &&
        words[1].size() == 9 && words[1][2] == '-' && words[1][6] == '-') {
        const std::string yy = words[1].substr(7, 2);
        if (!IsDigits(yy))
            return std::nullopt;
        // Two-digit years: the nearer century, as HTTP asks of such dates.
        const int y = std::stoi(yy);
        return DateTime(y < 70 ? 2000 + y : 1900 + y, MonthNumber(words[1].substr(3, 3)),
                        words[1].substr(0, 2), words[2]);
    }
    if (words.size() == 5 && words[0].size() == 3 && IsDigits(words[4]) && words[4].size() == 4)
        return DateTime(std::stoi(words[4]), MonthNumber(words[1]), words[2], words[3]);
    return std::nullopt;
}

bool IsWebUrl(const std::string& url) {
    return StartsWithAsciiCaseless(url, "http://") || StartsWithAsciiCaseless(url, "https://");
}

std::uint64_t RandomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(steady_clock::now().time_since_epoch().count());
}

} // namespace

std::optional<seconds> ParseRetryAfter(const std::string& value, system_clock::time_point now) {
    std::string text = value;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    text.erase(0, text.find_first_not_of(" \t") == std::string::npos ? text.size()
                                                                     : text.find_first_not_of(" \t"));
    if (IsDigits(text)) {
        // Anything beyond a day is as good as a day: the caller caps it far below.
        return seconds(text.size() > 6 ? 86400 : std::stoll(text));
    }
    const auto date = HttpDate(text);
    if (!date)
        return std::nullopt;
    if (*date <= now)
        return seconds(0);
    return ceil<seconds>(*date - now);
}

bool IsMirrorLine(const std::string& line) {
    return line.rfind("//mirror", 0) == 0 &&
           (line.size() == 8 || line[8] == ' ' || line[8] == '\t' || line[8] == '\r');
}

TMirrorLine ParseMirrorLine(const std::string& line) {
    TMirrorLine parsed;
    std::string text = line.substr(std::min<std::size_t>(line.size(), 8));
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    std::vector<std::string> words = Words(text);
    if (words.size() < 2) {
        parsed.problem = "a mirror line needs a URL prefix and at least one alternative";
        return parsed;
    }
    for (const std::string& word : words) {
        if (!IsWebUrl(word) || HostOfUrl(word).empty()) {
            parsed.problem = "not an http or https URL: " + word;
            return parsed;
        }
    }
    if (words.size() > kMaxMirrorAlternatives + 1) {
        parsed.problem = "more than " + std::to_string(kMaxMirrorAlternatives) +
                         " alternatives: the ones after the " + std::to_string(kMaxMirrorAlternatives) +
                         "th are ignored";
        words.resize(kMaxMirrorAlternatives + 1);
    }
    parsed.rule.prefix = words.front();
    parsed.rule.alternatives.assign(words.begin() + 1, words.end());
    for (const std::string& alternative : parsed.rule.alternatives) {
        if (alternative == parsed.rule.prefix) {
            parsed.problem = "the alternative is the prefix itself: " + alternative;
            return parsed;
        }
    }
    parsed.usable = true;
    return parsed;
}

void TakeMirrorLine(std::string_view line, std::vector<TMirrorRule>& rules) {
    if (rules.size() >= kMaxMirrorLines || line.substr(0, 8) != "//mirror")
        return;
    const std::string text(line);
    if (!IsMirrorLine(text))
        return;
    TMirrorLine parsed = ParseMirrorLine(text);
    if (parsed.usable)
        rules.push_back(std::move(parsed.rule));
}

std::vector<TMirrorRule> MirrorRulesOf(const std::string& listText) {
    std::vector<TMirrorRule> rules;
    TStringList::VisitLines(listText, [&rules](std::string_view line) { TakeMirrorLine(line, rules); });
    return rules;
}

std::string HostOfUrl(const std::string& url) {
    const auto colon = url.find("://");
    if (colon == std::string::npos || colon == 0)
        return {};
    const std::string scheme = AsciiLowerCase(url.substr(0, colon));
    std::string authority = url.substr(colon + 3, url.find_first_of("/?#", colon + 3) - (colon + 3));
    if (const auto at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (authority.empty())
        return {};
    authority = AsciiLowerCase(authority);
    const auto bracket = authority.rfind(']');
    const auto portColon = authority.rfind(':');
    bool hasPort = portColon != std::string::npos && (bracket == std::string::npos || portColon > bracket);
    if (hasPort && portColon + 1 == authority.size()) {
        authority.pop_back(); // "host:" is the default port
        hasPort = false;
    }
    if (!hasPort) {
        if (scheme == "http")
            authority += ":80";
        else if (scheme == "https")
            authority += ":443";
    }
    return scheme + "://" + authority;
}

DeliverySettings& DefaultDeliverySettings() {
    static DeliverySettings settings;
    return settings;
}

TDelivery::TDelivery() : TDelivery(RandomSeed()) {}

TDelivery::TDelivery(std::uint64_t seed) : spread_(DefaultDeliverySettings().spreadPauses), random_(seed) {}

std::vector<std::string> TDelivery::SourcesOf(const std::string& url, bool vouched) const {
    std::vector<std::string> sources{url};
    const TMirrorRule* best = nullptr;
    for (const TMirrorRule& rule : rules_)
        if (url.compare(0, rule.prefix.size(), rule.prefix) == 0 &&
            (best == nullptr || rule.prefix.size() > best->prefix.size()))
            best = &rule;
    if (best == nullptr)
        return sources;
    const std::string rest = url.substr(best->prefix.size());
    const bool secure = StartsWithAsciiCaseless(url, "https://");
    for (const std::string& alternative : best->alternatives) {
        // Bytes that nothing checks must not come over a connection anyone on the way can change.
        if (secure && !vouched && !StartsWithAsciiCaseless(alternative, "https://"))
            continue;
        const std::string source = alternative + rest;
        if (std::find(sources.begin(), sources.end(), source) == sources.end())
            sources.push_back(source);
    }
    return sources;
}

bool TDelivery::IsDeadHost(const std::string& url) const {
    return deadHosts_.count(HostOfUrl(url)) != 0;
}

bool TDelivery::NoteOutcome(const std::string& url, const THttpOutcome& outcome) {
    if (!outcome.noConnection)
        return false;
    const std::string host = HostOfUrl(url);
    if (host.empty())
        return false;
    deadHosts_.insert(host);
    return true;
}

std::string TDelivery::DeadHostReason(const std::string& url) {
    return HostOfUrl(url) + " did not answer earlier in this run";
}

std::chrono::milliseconds TDelivery::RetryPause(milliseconds planned, long status,
                                                const std::string& retryAfter) {
    return RetryPause(planned, status, retryAfter, system_clock::now());
}

std::chrono::milliseconds TDelivery::RetryPause(milliseconds planned, long status,
                                                const std::string& retryAfter, system_clock::time_point now) {
    if ((status == 429 || status == 503) && !retryAfter.empty()) {
        if (const auto asked = ParseRetryAfter(retryAfter, now)) {
            const milliseconds pause = std::min<milliseconds>(*asked, kRetryAfterCap);
            // Never back before the server asked; the spread goes later only, and not past the cap.
            return std::max(pause, std::min<milliseconds>(Spread(pause, 1.0, 1.5), kRetryAfterCap));
        }
    }
    return Spread(planned, 0.5, 1.5);
}

std::chrono::milliseconds TDelivery::Spread(milliseconds pause, double low, double high) {
    if (!spread_ || pause <= milliseconds(0))
        return pause;
    std::uniform_real_distribution<double> factor(low, high);
    return milliseconds(static_cast<std::int64_t>(static_cast<double>(pause.count()) * factor(random_)));
}

std::optional<system_clock::time_point> ParseHttpDate(const std::string& text) {
    return HttpDate(text);
}

} // namespace pc
