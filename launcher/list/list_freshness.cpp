#include "launcher/list/list_freshness.h"

#include "framework/helpers.h"
#include "framework/line_list.h"

#include <chrono>

namespace pc {
namespace {

constexpr std::string_view kSerialWord = "//serial";
constexpr std::string_view kExpiresWord = "//expires";
constexpr std::size_t kLongestSerial = 18;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value after "WORD " when the line is exactly that word, one blank and a value without blanks.
std::optional<std::string_view> ValueOf(std::string_view line, std::string_view word) {
    if (line.size() <= word.size() + 1 || line.substr(0, word.size()) != word || line[word.size()] != ' ')
        return std::nullopt;
    return line.substr(word.size() + 1);
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate CivilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
    return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool IsLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(std::int64_t year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The number made of the `count` digits at `at`, or -1 when one of them is not a digit.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!IsDigit(text[i]))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string TwoDigits(unsigned value) {
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

std::string AcceptedSerialPath(const std::string& appDir) {
    return appDir + kAcceptedSerialFileName;
}

std::optional<std::uint64_t> ParseSerialText(std::string_view text) {
    if (text.empty() || text.size() > kLongestSerial)
        return std::nullopt;
    std::uint64_t serial = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        serial = serial * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return serial;
}

} // namespace

std::int64_t UnixSecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TStampKind StampKindOf(std::string_view line) {
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    if (word == kSerialWord)
        return TStampKind::Serial;
    if (word == kExpiresWord)
        return TStampKind::Expires;
    return TStampKind::None;
}

std::optional<std::uint64_t> ParseSerialLine(std::string_view line) {
    const auto value = ValueOf(line, kSerialWord);
    return value ? ParseSerialText(*value) : std::nullopt;
}

std::optional<std::int64_t> ParseExpiresLine(std::string_view line) {
    const auto value = ValueOf(line, kExpiresWord);
    return value ? ParseUtcTime(*value) : std::nullopt;
}

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        static_cast<unsigned>(day) > DaysInMonth(year, static_cast<unsigned>(month)) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kSecondsPerDay +
           hour * 3600 + minute * 60 + second;
}

std::string SerialLine(std::uint64_t serial) {
    return std::string(kSerialWord) + " " + std::to_string(serial);
}

std::string FormatUtcTime(std::int64_t unixSeconds) {
    std::int64_t days = unixSeconds / kSecondsPerDay;
    std::int64_t rest = unixSeconds % kSecondsPerDay;
    if (rest < 0) { // moments before 1970 count back from the day before
        rest += kSecondsPerDay;
        --days;
    }
    const auto secondOfDay = static_cast<unsigned>(rest);
    const CivilDate date = CivilFromDays(days);
    return std::to_string(date.year) + "-" + TwoDigits(date.month) + "-" + TwoDigits(date.day) + "T" +
           TwoDigits(secondOfDay / 3600) + ":" + TwoDigits(secondOfDay / 60 % 60) + ":" +
           TwoDigits(secondOfDay % 60) + "Z";
}

std::string ExpiresLine(std::int64_t unixSeconds) {
    return std::string(kExpiresWord) + " " + FormatUtcTime(unixSeconds);
}

TListStamps ReadListStamps(std::string_view bytes) {
    TListStamps stamps;
    int serialLines = 0, expiresLines = 0;
    bool serialMalformed = false, expiresMalformed = false;
    TStringList::VisitLines(bytes, [&](std::string_view line) {
        switch (StampKindOf(line)) {
        case TStampKind::Serial:
            ++serialLines;
            stamps.serial = ParseSerialLine(line);
            serialMalformed = serialMalformed || !stamps.serial;
            break;
        case TStampKind::Expires:
            ++expiresLines;
            stamps.expires = ParseExpiresLine(line);
            expiresMalformed = expiresMalformed || !stamps.expires;
            break;
        case TStampKind::None:
            break;
        }
    });
    if (serialMalformed)
        stamps.serialProblem = "its serial line is not of the form '//serial N' (1 to 18 decimal digits)";
    else if (serialLines > 1)
        stamps.serialProblem = "it has more than one serial line";
    if (expiresMalformed)
        stamps.expiresProblem = "its expiry line is not of the form '//expires YYYY-MM-DDTHH:MM:SSZ'";
    else if (expiresLines > 1)
        stamps.expiresProblem = "it has more than one expiry line";
    if (!stamps.serialProblem.empty())
        stamps.serial.reset();
    if (!stamps.expiresProblem.empty())
        stamps.expires.reset();
    return stamps;
}

TFreshnessVerdict JudgeFreshness(const TListStamps& stamps, std::optional<std::uint64_t> accepted,
                                 std::int64_t now) {
    if (!stamps.expiresProblem.empty())
        return {TFreshness::Expired, "the signed list cannot be read as fresh: " + stamps.expiresProblem};
    if (stamps.expires && now >= *stamps.expires)
        return {TFreshness::Expired, "the signed list expired at " + FormatUtcTime(*stamps.expires)};
    if (!accepted)
        return {};
    if (!stamps.serial)
        return {TFreshness::Older,
                "the signed list carries no serial (" +
                    (stamps.serialProblem.empty() ? "it has no serial line" : stamps.serialProblem) +
                    "), and serial " + std::to_string(*accepted) + " was accepted before"};
    if (*stamps.serial < *accepted)
        return {TFreshness::Older, "the signed list has serial " + std::to_string(*stamps.serial) +
                                       ", lower than serial " + std::to_string(*accepted) +
                                       " accepted before: it was served again"};
    return {};
}

std::optional<std::uint64_t> ReadAcceptedSerial(const std::string& appDir) {
    const std::string path = AcceptedSerialPath(appDir);
    if (!IsExistingFile(path))
        return std::nullopt;
    TStringList lines;
    lines.LoadLines(path);
    if (lines.LineCount() < 1)
        return std::nullopt;
    return ParseSerialText(lines.LineAt(0));
}

void StoreAcceptedSerial(const std::string& appDir, std::uint64_t serial) {
    TStringList lines;
    lines.AppendLine(std::to_string(serial));
    lines.SaveLines(AcceptedSerialPath(appDir));
}

} // namespace pc
