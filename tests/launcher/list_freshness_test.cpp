// The serial and expiry lines of signed lists, the verdict on them, and the serial an installation keeps.
#include "launcher/list/list_freshness.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using pc::TFreshness;
using pc::TStampKind;
using pc::test::ReadFileBytes;
using pc::test::TempDir;

TEST(ListStampLines, FormAndValue) {
    struct Case {
        const char* line;
        TStampKind kind;
        std::optional<std::uint64_t> serial;
        std::optional<std::int64_t> expires;
    } cases[] = {
        {"//serial 17", TStampKind::Serial, 17, {}},
        {"//serial 0", TStampKind::Serial, 0, {}},
        {"//serial 999999999999999999", TStampKind::Serial, 999999999999999999ULL, {}},
        {"//serial 1000000000000000000", TStampKind::Serial, {}, {}}, // 19 digits
        {"//serial", TStampKind::Serial, {}, {}},
        {"//serial ", TStampKind::Serial, {}, {}},
        {"//serial  17", TStampKind::Serial, {}, {}},
        {"//serial 17 ", TStampKind::Serial, {}, {}},
        {"//serial\t17", TStampKind::Serial, {}, {}},
        {"//serial -1", TStampKind::Serial, {}, {}},
        {"//serial $11", TStampKind::Serial, {}, {}},
        {"//serials 17", TStampKind::None, {}, {}},
        {"//Serial 17", TStampKind::None, {}, {}},
        {" //serial 17", TStampKind::None, {}, {}},
        {"// serial 17", TStampKind::None, {}, {}},
        {"//expires 1970-01-01T00:00:00Z", TStampKind::Expires, {}, 0},
        {"//expires 2026-12-31T00:00:00Z", TStampKind::Expires, {}, 1798675200},
        {"//expires 2000-02-29T23:59:59Z", TStampKind::Expires, {}, 951868799},
        {"//expires 2100-02-29T00:00:00Z", TStampKind::Expires, {}, {}}, // not a leap year
        {"//expires 2026-13-01T00:00:00Z", TStampKind::Expires, {}, {}},
        {"//expires 2026-04-31T00:00:00Z", TStampKind::Expires, {}, {}},
        {"//expires 2026-12-31T24:00:00Z", TStampKind::Expires, {}, {}},
        {"//expires 2026-12-31T00:00:60Z", TStampKind::Expires, {}, {}},
        {"//expires 2026-12-31T00:00:00", TStampKind::Expires, {}, {}},
        {"//expires 2026-12-31 00:00:00Z", TStampKind::Expires, {}, {}},
        {"//expires 2026-12-31T00:00:00+01:00", TStampKind::Expires, {}, {}},
        {"//expires 1969-12-31T23:59:59Z", TStampKind::Expires, {}, {}},
        {"//expires", TStampKind::Expires, {}, {}},
        {"// realm patches", TStampKind::None, {}, {}},
        {"", TStampKind::None, {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pc::StampKindOf(c.line), c.kind) << c.line;
        EXPECT_EQ(pc::ParseSerialLine(c.line), c.serial) << c.line;
        EXPECT_EQ(pc::ParseExpiresLine(c.line), c.expires) << c.line;
    }
}

TEST(ListStampLines, WrittenLinesReadBack) {
    EXPECT_EQ(pc::SerialLine(17), "//serial 17");
    EXPECT_EQ(pc::FormatUtcTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(pc::FormatUtcTime(1798675200), "2026-12-31T00:00:00Z");
    EXPECT_EQ(pc::FormatUtcTime(-1), "1969-12-31T23:59:59Z");
    // Every day of four years around a century's leap day, at a time of day that moves.
    for (std::int64_t t = 946684800 - 2 * 366 * pc::kSecondsPerDay;
         t < 946684800 + 2 * 366 * pc::kSecondsPerDay; t += pc::kSecondsPerDay + 3601) {
        const std::string line = pc::ExpiresLine(t);
        EXPECT_EQ(pc::ParseExpiresLine(line), t) << line;
    }
}

TEST(ReadListStamps, FromTheLinesLaunchersRead) {
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<std::uint64_t> serial;
        std::optional<std::int64_t> expires;
        bool serialProblem;
        bool expiresProblem;
    } cases[] = {
        {"none", "1\tu\t1\t\t0\t\r\n", {}, {}, false, false},
        {"both, CR LF", "//serial 3\r\n//expires 1970-01-02T00:00:00Z\r\n1\tu\t1\t\t0\t\r\n", 3, 86400, false,
         false},
        {"lone LF and CR, at the end without a line end",
         "1\tu\t1\t\t0\t\n//expires 1970-01-02T00:00:00Z\r//serial 4", 4, 86400, false, false},
        {"after the first NUL nothing is read",
         std::string("//serial 3\r\n\0//serial 9\r\n", 25),
         3,
         {},
         false,
         false},
        {"two serial lines, even equal ones", "//serial 3\r\n//serial 3\r\n", {}, {}, true, false},
        {"a malformed serial line beside a good one", "//serial 3\r\n//serial x\r\n", {}, {}, true, false},
        {"a malformed expiry", "//serial 3\r\n//expires tomorrow\r\n", 3, {}, false, true},
        {"two expiry lines",
         "//expires 1970-01-02T00:00:00Z\n//expires 1970-01-03T00:00:00Z\n",
         {},
         {},
         false,
         true},
    };
    for (const Case& c : cases) {
        const pc::TListStamps stamps = pc::ReadListStamps(c.bytes);
        EXPECT_EQ(stamps.serial, c.serial) << c.what;
        EXPECT_EQ(stamps.expires, c.expires) << c.what;
        EXPECT_EQ(!stamps.serialProblem.empty(), c.serialProblem) << c.what;
        EXPECT_EQ(!stamps.expiresProblem.empty(), c.expiresProblem) << c.what;
    }
}

TEST(JudgeFreshness, AgainstTheAcceptedSerialAndTheClock) {
    const std::int64_t now = 1798675200;
    const auto stamps = [](std::optional<std::uint64_t> serial, std::optional<std::int64_t> expires) {
        pc::TListStamps s;
        s.serial = serial;
        s.expires = expires;
        return s;
    };
    pc::TListStamps malformedSerial;
    malformedSerial.serialProblem =
        "its serial line is not of the form '//serial N' (1 to 18 decimal digits)";
    pc::TListStamps malformedExpiry = stamps(5, {});
    malformedExpiry.expiresProblem = "its expiry line is not of the form '//expires YYYY-MM-DDTHH:MM:SSZ'";
    struct Case {
        const char* what;
        pc::TListStamps stamps;
        std::optional<std::uint64_t> accepted;
        TFreshness freshness;
        std::string reason;
    } cases[] = {
        {"first list ever, without serial", stamps({}, {}), {}, TFreshness::Fresh, ""},
        {"first list ever, with serial", stamps(1, {}), {}, TFreshness::Fresh, ""},
        {"newer", stamps(6, {}), 5, TFreshness::Fresh, ""},
        {"the same list again", stamps(5, {}), 5, TFreshness::Fresh, ""},
        {"replayed", stamps(4, {}), 5, TFreshness::Older,
         "the signed list has serial 4, lower than serial 5 accepted before: it was served again"},
        {"no serial once one was seen", stamps({}, {}), 1, TFreshness::Older,
         "the signed list carries no serial (it has no serial line), and serial 1 was accepted before"},
        {"malformed serial once one was seen", malformedSerial, 1, TFreshness::Older,
         "the signed list carries no serial (its serial line is not of the form '//serial N' (1 to 18 "
         "decimal digits)), and serial 1 was accepted before"},
        {"malformed serial, none seen", malformedSerial, {}, TFreshness::Fresh, ""},
        {"expires a second from now", stamps(6, now + 1), 5, TFreshness::Fresh, ""},
        {"expires now", stamps(6, now), 5, TFreshness::Expired,
         "the signed list expired at 2026-12-31T00:00:00Z"},
        {"expired, first list ever",
         stamps({}, now - 1),
         {},
         TFreshness::Expired,
         "the signed list expired at 2026-12-30T23:59:59Z"},
        {"malformed expiry", malformedExpiry, 5, TFreshness::Expired,
         "the signed list cannot be read as fresh: its expiry line is not of the form '//expires "
         "YYYY-MM-DDTHH:MM:SSZ'"},
    };
    for (const Case& c : cases) {
        const pc::TFreshnessVerdict verdict = pc::JudgeFreshness(c.stamps, c.accepted, now);
        EXPECT_EQ(verdict.freshness, c.freshness) << c.what;
        EXPECT_EQ(verdict.reason, c.reason) << c.what;
    }
}

TEST(AcceptedSerial, StoredBesideTheLedgerAndReadBack) {
    TempDir dir;
    const std::string appDir = dir.Path();
    EXPECT_EQ(pc::ReadAcceptedSerial(appDir), std::nullopt);
    pc::StoreAcceptedSerial(appDir, 17);
    EXPECT_EQ(ReadFileBytes(dir / pc::kAcceptedSerialFileName), "17\r\n");
    EXPECT_EQ(pc::ReadAcceptedSerial(appDir), 17u);
    pc::StoreAcceptedSerial(appDir, pc::kLargestSerial);
    EXPECT_EQ(pc::ReadAcceptedSerial(appDir), pc::kLargestSerial);
    // Only the serial's own file is left: the save leaves no temporary behind.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(appDir))
        ++files;
    EXPECT_EQ(files, 1u);

    // Content that is no serial counts as none accepted.
    for (const char* content : {"", "\r\n", "x\r\n", "-3\r\n", " 5\r\n", "1000000000000000000\r\n"}) {
        dir.Write(pc::kAcceptedSerialFileName, content);
        EXPECT_EQ(pc::ReadAcceptedSerial(appDir), std::nullopt) << content;
    }
}

} // namespace
