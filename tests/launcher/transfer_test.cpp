// The transfer engine against a scripted transport: which attempts it makes, what ranges they ask for,
// and how the transfer ends.
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/net/transfer.h"
#include "tests/support/fake_ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// One scripted answer: its status (0: no answer at all; kSilent: none until the receiver stops waiting), the
// body bytes it brings and how it ends.
constexpr long kSilent = -1;
struct Step {
    Step(long status, std::string body = {}, pc::THttpFailure end = pc::THttpFailure::hfNone,
         std::string contentRange = {})
        : status(status), body(std::move(body)), end(end), contentRange(std::move(contentRange)) {}
    long status;
    std::string body;
    pc::THttpFailure end;
    std::string contentRange;
};

class ScriptedTransport final : public pc::THttpTransport {
public:
    explicit ScriptedTransport(std::deque<Step> steps) : steps_(std::move(steps)) {}

    pc::THttpOutcome Fetch(const pc::THttpRequest& request, pc::THttpReceiver& receiver) override {
        const std::string range = request.rangeStart >= 0 ? std::to_string(request.rangeStart) : "-";
        asked.push_back(request.url + " " + range);
        ranges.push_back(range);
        if (steps_.empty())
            return {pc::THttpFailure::hfOther, "no more answers"};
        const Step step = steps_.front();
        steps_.pop_front();
        if (step.status == 0)
            return {step.end, "connection refused", true};
        while (step.status == kSilent && receiver.Waiting())
            std::this_thread::sleep_for(200ms); // as the transports ask while nothing comes
        if (step.status == kSilent)
            return {pc::THttpFailure::hfStopped, {}};
        pc::THttpAnswer answer;
        answer.status = step.status;
        answer.etag = "\"v1\"";
        answer.contentRange = step.contentRange;
        if (!receiver.Answer(answer))
            return {pc::THttpFailure::hfStopped, {}};
        if (!step.body.empty() && !receiver.Body(step.body.data(), step.body.size()))
            return {pc::THttpFailure::hfStopped, {}};
        return {step.end, step.end == pc::THttpFailure::hfNone ? "" : "broken off"};
    }

    std::vector<std::string> asked;  // "URL RANGE-START" per attempt
    std::vector<std::string> ranges; // the range's start per attempt, "-" for the whole body
private:
    std::deque<Step> steps_;
};

// Keeps the body in memory and continues it by range from its first missing byte.
class MemorySink final : public pc::TTransferSink {
public:
    void Prepare(pc::THttpRequest& request) override {
        if (!bytes.empty())
            request.rangeStart = static_cast<std::int64_t>(bytes.size());
    }
    bool Answer(const pc::THttpAnswer& answer) override {
        if (answer.status != 206)
            bytes.clear();
        return true;
    }
    bool Body(const char* data, std::size_t size) override {
        bytes.append(data, size);
        return true;
    }
    std::optional<pc::TAttemptEnd> Settle(long, std::string&) override { return std::nullopt; }
    std::int64_t Position() const override { return static_cast<std::int64_t>(bytes.size()); }

    std::string bytes;
};

TEST(TransferEngine, AttemptsRangesAndEndsFollowTheAnswers) {
    using F = pc::THttpFailure;
    struct Case {
        const char* name;
        std::deque<Step> steps;
        bool progressRenews;
        bool fetched;
        std::vector<std::string> ranges;
        std::string body;   // when fetched
        std::string reason; // when not
    } cases[] = {
        {"passing statuses are asked again",
         {{503}, {429}, {200, "abc"}},
         false,
         true,
         {"-", "-", "-"},
         "abc",
         ""},
        {"three passing statuses end the place",
         {{503}, {502}, {500}},
         false,
         false,
         {"-", "-", "-"},
         "",
         "HTTP status 500"},
        {"a status that says no is not asked again", {{404}}, false, false, {"-"}, "", "HTTP status 404"},
        {"a broken body goes on from its first missing byte",
         {{200, "ab", F::hfBrokenBody}, {206, "cd", F::hfNone, "bytes 2-3/4"}},
         false,
         true,
         {"-", "2"},
         "abcd",
         ""},
        {"a failure that cannot pass ends at once",
         {{0, "", F::hfOther}},
         false,
         false,
         {"-"},
         "",
         "connection refused"},
        {"a host that refuses is not asked again",
         {{0, "", F::hfRefused}},
         false,
         false,
         {"-"},
         "",
         "connection refused"},
        {"without renewal, progress does not buy attempts",
         {{200, "a", F::hfBrokenBody},
          {206, "b", F::hfBrokenBody, "bytes 1-4/5"},
          {206, "c", F::hfBrokenBody, "bytes 2-4/5"},
          {206, "de", F::hfNone, "bytes 3-4/5"}},
         false,
         false,
         {"-", "1", "2"},
         "",
         "broken off"},
        {"with renewal, each step forward buys attempts",
         {{200, "a", F::hfBrokenBody},
          {206, "b", F::hfBrokenBody, "bytes 1-4/5"},
          {206, "c", F::hfBrokenBody, "bytes 2-4/5"},
          {206, "de", F::hfNone, "bytes 3-4/5"}},
         true,
         true,
         {"-", "1", "2", "3"},
         "abcde",
         ""},
    };
    for (const Case& c : cases) {
        pc::test::RecordingUi ui;
        pc::TDelivery delivery(7);
        pc::DownloadLimits limits;
        limits.retryPauses = {0ms, 0ms};
        ScriptedTransport transport(c.steps);
        pc::TTransferEngine engine(ui, delivery, limits, transport);
        pc::TTransferPlan plan;
        plan.url = "http://a.test/p";
        plan.progressRenewsAttempts = c.progressRenews;
        MemorySink sink;
        std::string reason;
        EXPECT_EQ(engine.Run(plan, sink, reason), c.fetched) << c.name;
        EXPECT_EQ(transport.ranges, c.ranges) << c.name;
        if (c.fetched)
            EXPECT_EQ(sink.bytes, c.body) << c.name;
        else
            EXPECT_EQ(reason, c.reason) << c.name;
    }
}

TEST(TransferEngine, AFailedPlaceHandsOverToTheMirrorAndADeadHostIsPassedOver) {
    pc::test::RecordingUi ui;
    pc::TDelivery delivery(7);
    delivery.SetMirrorRules({{"http://a.test/", {"http://b.test/"}}});
    pc::DownloadLimits limits;
    limits.retryPauses = {0ms, 0ms};
    pc::TTransferPlan plan;
    plan.url = "http://a.test/p.zip";
    {
        ScriptedTransport transport({{0, "", pc::THttpFailure::hfRefused}, {200, "xyz"}});
        pc::TTransferEngine engine(ui, delivery, limits, transport);
        MemorySink sink;
        std::string reason;
        ASSERT_TRUE(engine.Run(plan, sink, reason)) << reason;
        EXPECT_EQ(transport.asked,
                  (std::vector<std::string>{"http://a.test/p.zip -", "http://b.test/p.zip -"}));
        EXPECT_EQ(sink.bytes, "xyz");
    }
    // The same run's next transfer does not ask the host that refused.
    ScriptedTransport transport({{200, "uvw"}});
    pc::TTransferEngine engine(ui, delivery, limits, transport);
    MemorySink sink;
    std::string reason;
    ASSERT_TRUE(engine.Run(plan, sink, reason)) << reason;
    EXPECT_EQ(transport.asked, (std::vector<std::string>{"http://b.test/p.zip -"}));
}

// A server that stays silent keeps the window going once the silence has lasted a second, so that the player
// can end the wait; until then the window is left to the reads.
TEST(TransferEngine, ASilentServerLeavesTheWindowGoingAndThePlayerCanEndTheWait) {
    ScriptedTransport transport({Step(kSilent)});
    pc::test::RecordingUi ui;
    ui.OnPump([&ui] { ui.terminated = true; }); // the player closes the window
    pc::TDelivery delivery(7);
    pc::DownloadLimits limits;
    limits.lowSpeedTime = 5s; // the stall limit ends a wait that nothing else ends
    pc::TTransferEngine engine(ui, delivery, limits, transport);
    MemorySink sink;
    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.Run({"http://a.test/p.zip"}, sink, reason));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(ui.pumps, 1);
    EXPECT_EQ(reason, pc::kEndingReason);
}

} // namespace
