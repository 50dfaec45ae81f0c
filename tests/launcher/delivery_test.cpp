#include "framework/http_transport.h"
#include "launcher/net/delivery.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using namespace std::string_literals;

// 2026-12-08 20:00:00 UTC
const system_clock::time_point kNow =
    system_clock::time_point(sys_days(year(2026) / December / 8).time_since_epoch() + 20h);

TEST(RetryAfter, SecondsAndTheThreeDateFormsOfHttp) {
    struct Case {
        const char* value;
        std::optional<seconds> pause;
    } cases[] = {
        {"0", 0s},
        {"7", 7s},
        {" 120 ", 120s},
        {"99999999999999999999", 86400s}, // absurd, not an overflow
        {"Tue, 08 Dec 2026 20:00:30 GMT", 30s},
        {"Tuesday, 08-Dec-26 20:01:00 GMT", 60s},
        {"Tue Dec  8 20:00:05 2026", 5s},
        {"Tue, 08 Dec 2026 19:59:00 GMT", 0s}, // already past: no pause
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"1.5", std::nullopt},
        {"soon", std::nullopt},
        {"Tue, 08 Dec 2026 20:00:30 CET", std::nullopt},
        {"Tue, 31 Feb 2026 20:00:30 GMT", std::nullopt},
        {"Tue, 08 Foo 2026 20:00:30 GMT", std::nullopt},
        {"Tue, 08 Dec 2026 25:00:30 GMT", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(pc::ParseRetryAfter(c.value, kNow), c.pause);
    }
}

TEST(RetryPause, TheServersPauseIsHonouredUpToTheCapAndNeverShortened) {
    pc::TDelivery delivery(1);
    for (int i = 0; i < 200; ++i) {
        const auto pause = delivery.RetryPause(1000ms, 503, "10", kNow);
        EXPECT_GE(pause, 10s);
        EXPECT_LE(pause, 15s);
        EXPECT_EQ(delivery.RetryPause(1000ms, 429, "3600", kNow), 60s);
        const auto dated = delivery.RetryPause(1000ms, 503, "Tue, 08 Dec 2026 20:00:40 GMT", kNow);
        EXPECT_GE(dated, 40s);
        EXPECT_LE(dated, 60s);
    }
    // Only 429 and 503 carry pacing; elsewhere, and for a value that cannot be read, the planned pause.
    for (const auto& [status, value] :
         std::vector<std::pair<long, const char*>>{{500, "30"}, {503, "later"}}) {
        const auto pause = delivery.RetryPause(1000ms, status, value, kNow);
        EXPECT_GE(pause, 500ms) << status << value;
        EXPECT_LE(pause, 1500ms) << status << value;
    }
}

TEST(RetryPause, PausesAreSpreadUnlessFixedPausesAreAskedFor) {
    pc::TDelivery delivery(42);
    std::set<milliseconds::rep> seen;
    milliseconds low = 1h, high = 0ms;
    for (int i = 0; i < 1000; ++i) {
        const auto pause = delivery.RetryPause(1000ms, 0, "", kNow);
        seen.insert(pause.count());
        low = std::min(low, pause);
        high = std::max(high, pause);
    }
    EXPECT_GE(low, 500ms);
    EXPECT_LE(high, 1500ms);
    // Spread over the whole range, not bunched in one moment.
    EXPECT_LT(low, 600ms);
    EXPECT_GT(high, 1400ms);
    EXPECT_GT(seen.size(), 500u);

    delivery.SetSpreadPauses(false);
    EXPECT_EQ(delivery.RetryPause(1000ms, 0, "", kNow), 1000ms);
    EXPECT_EQ(delivery.RetryPause(1000ms, 503, "7", kNow), 7s);

    pc::DefaultDeliverySettings().spreadPauses = false;
    EXPECT_FALSE(pc::TDelivery().SpreadsPauses());
    pc::DefaultDeliverySettings().spreadPauses = true;
    EXPECT_TRUE(pc::TDelivery().SpreadsPauses());
}

TEST(DeadHosts, AHostThatMadeNoConnectionIsDeadForTheRestOfTheRun) {
    struct Case {
        const char* url;
        const char* host;
    } hosts[] = {
        {"http://Patch.Example.com/a/p1.zip", "http://patch.example.com:80"},
        {"http://patch.example.com:80/b", "http://patch.example.com:80"},
        {"HTTPS://user:pw@cdn.example.com/x?y", "https://cdn.example.com:443"},
        {"http://[::1]:8080/x", "http://[::1]:8080"},
        {"http://[::1]/x", "http://[::1]:80"},
        {"http://host:/x", "http://host:80"},
        {"no-url", ""},
        {"http:///x", ""},
    };
    for (const auto& c : hosts)
        EXPECT_EQ(pc::HostOfUrl(c.url), c.host) << c.url;

    pc::TDelivery delivery(1);
    pc::THttpOutcome refusedAfterAnswer{pc::THttpFailure::hfRefused, "reset"};
    EXPECT_FALSE(delivery.NoteOutcome("http://patch.example.com/p1.zip", refusedAfterAnswer));
    EXPECT_FALSE(delivery.IsDeadHost("http://patch.example.com/p2.zip"));

    pc::THttpOutcome noConnection{pc::THttpFailure::hfRefused, "refused"};
    noConnection.noConnection = true;
    EXPECT_TRUE(delivery.NoteOutcome("http://patch.example.com/p1.zip", noConnection));
    EXPECT_TRUE(delivery.IsDeadHost("http://PATCH.example.com:80/other/p2.zip"));
    EXPECT_FALSE(delivery.IsDeadHost("https://patch.example.com/p2.zip"));
    EXPECT_FALSE(delivery.IsDeadHost("http://patch.example.com:8080/p2.zip"));
    EXPECT_EQ(pc::TDelivery::DeadHostReason("http://patch.example.com/p1.zip"),
              "http://patch.example.com:80 did not answer earlier in this run");
}

TEST(MirrorLines, UsableLinesAndWhatLintIsToldAboutTheOthers) {
    struct Case {
        const char* line;
        bool isMirror;
        pc::TMirrorRule rule;
        const char* problem;
    } cases[] = {
        {"//mirror http://a/p/ http://b/p/ https://c/q/",
         true,
         {"http://a/p/", {"http://b/p/", "https://c/q/"}},
         ""},
        {"//mirror\thttp://a/ \t http://b/\r", true, {"http://a/", {"http://b/"}}, ""},
        {"//mirror http://a/", true, {}, "a mirror line needs a URL prefix and at least one alternative"},
        {"//mirror", true, {}, "a mirror line needs a URL prefix and at least one alternative"},
        {"//mirror http://a/ ftp://b/", true, {}, "not an http or https URL: ftp://b/"},
        {"//mirror http://a/ http://a/", true, {}, "the alternative is the prefix itself: http://a/"},
        {"//mirrors http://a/ http://b/", false, {}, ""},
        {"// mirror http://a/ http://b/", false, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(pc::IsMirrorLine(c.line), c.isMirror);
        if (!c.isMirror)
            continue;
        const pc::TMirrorLine parsed = pc::ParseMirrorLine(c.line);
        EXPECT_EQ(parsed.problem, c.problem);
        EXPECT_EQ(parsed.usable, parsed.problem.empty());
        if (parsed.problem.empty()) {
            EXPECT_EQ(parsed.rule, c.rule);
        }
    }
    // A hostile list: too many alternatives on a line, too many lines. The first ones count.
    std::string many = "//mirror http://a/";
    for (int i = 0; i < 20; ++i)
        many += " http://m" + std::to_string(i) + "/";
    const pc::TMirrorLine crowded = pc::ParseMirrorLine(many);
    EXPECT_TRUE(crowded.usable);
    EXPECT_EQ(crowded.problem, "more than 16 alternatives: the ones after the 16th are ignored");
    EXPECT_EQ(crowded.rule.alternatives.size(), 16u);
    EXPECT_EQ(crowded.rule.alternatives.back(), "http://m15/");
    std::string lines;
    for (int i = 0; i < 300; ++i)
        lines += "//mirror http://a" + std::to_string(i) + "/ http://b/\n";
    const auto capped = pc::MirrorRulesOf(lines);
    ASSERT_EQ(capped.size(), 256u);
    EXPECT_EQ(capped.back().prefix, "http://a255/");

    // Lines end at CR or LF and the list at a NUL, as lists are read.
    const auto rules = pc::MirrorRulesOf(
        "//serial 3\n//mirror http://a/ http://b/\r\n1\thttp://a/p1.zip\t10\t\t0\t\n"
        "//mirror broken\n x//mirror http://b/ http://d/\r//mirror http://a/x/ http://c/\n\0"
        "//mirror http://after-nul/ http://e/\n"s);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0], (pc::TMirrorRule{"http://a/", {"http://b/"}}));
    EXPECT_EQ(rules[1], (pc::TMirrorRule{"http://a/x/", {"http://c/"}}));
}

TEST(MirrorSources, TheUrlThenTheAlternativesOfTheLongestMatchingPrefix) {
    pc::TDelivery delivery(1);
    delivery.SetMirrorRules({
        {"http://origin/", {"http://m1/", "https://m2/base/"}},
        {"http://origin/big/", {"http://big-mirror/"}},
        {"https://secure/", {"http://plain/", "https://also-secure/"}},
        {"http://same/", {"http://same/", "http://other/"}},
    });
    struct Case {
        const char* url;
        bool vouched;
        std::vector<std::string> sources;
    } cases[] = {
        {"http://origin/p1.zip",
         true,
         {"http://origin/p1.zip", "http://m1/p1.zip", "https://m2/base/p1.zip"}},
        {"http://origin/big/p2.zip", true, {"http://origin/big/p2.zip", "http://big-mirror/p2.zip"}},
        {"http://elsewhere/p3.zip", true, {"http://elsewhere/p3.zip"}},
        {"http://origin", true, {"http://origin"}},
        // Without a SHA-256 to check them, bytes asked for on https stay on https.
        {"https://secure/p4.zip", false, {"https://secure/p4.zip", "https://also-secure/p4.zip"}},
        {"https://secure/p4.zip",
         true,
         {"https://secure/p4.zip", "http://plain/p4.zip", "https://also-secure/p4.zip"}},
        {"http://same/p5.zip", true, {"http://same/p5.zip", "http://other/p5.zip"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(delivery.SourcesOf(c.url, c.vouched), c.sources) << c.url << " " << c.vouched;
}

} // namespace
