#include "archive/extract_files.h"

#include "framework/exceptions.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pc {

bool IsExistingDirectory(const std::string& path) {
    return fsys::IsDirectory(path);
}

bool IsExistingNonDirectory(const std::string& path) {
    return fsys::IsNonDirectory(path);
}

bool IsReadOnlyFile(const std::string& path) {
    return fsys::IsReadOnly(path);
}

bool CreateDirectoryChain(const std::string& path) {
    if (path.empty())
        throw Exception("Unable to create directory");
    std::string target = path;
    if (target.size() > 1 && target.back() == '/')
        target.pop_back();
    // Walk up to the deepest directory that exists, then create downwards. Only where each missing
    // directory ends is kept: a name of thousands of parts costs no copy of itself per part.
    std::vector<std::size_t> missing;
    for (std::size_t end = target.size(); end > 0 && !(end == 1 && target[0] == '/');) {
        const std::string current = target.substr(0, end);
        if (IsExistingDirectory(current))
            break;
        missing.push_back(end);
        const std::size_t slash = current.find_last_of('/');
        if (slash == std::string::npos)
            break;
        end = slash == 0 ? 1 : slash;
        while (end > 1 && target[end - 1] == '/')
            --end;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::string current = target.substr(0, *it);
        if (!fsys::MakeDirectory(current) && !IsExistingDirectory(current))
            return false;
    }
    return true;
}

namespace {

// Days from 1970-01-01 to the given civil date of the proleptic Gregorian calendar.
std::time_t DaysSinceEpoch(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::time_t>(era) * 146097 + dayOfEra - 719468;
}

} // namespace

std::optional<std::time_t> DosDateTimeToTime(std::uint16_t date, std::uint16_t time) {
    const int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
    const int second = (time & 0x1F) * 2, minute = (time >> 5) & 0x3F, hour = time >> 11;
    if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] || (month == 2 && day == 29 && !leap))
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    // The zone's offset for a given hour is asked of the C library once: every mktime re-examines the
    // zone file, a cost that thousands of small entries pay over and over. The key carries TZ, so a
    // changed zone is asked afresh.
    const std::time_t asUtc = DaysSinceEpoch(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    const char* zone = std::getenv("TZ");
    const std::string key =
        std::string(zone ? zone : "\x01") + '\0' + std::to_string(date) + ':' + std::to_string(hour);
    static std::mutex mutex;
    static std::unordered_map<std::string, std::time_t> offsets;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (auto found = offsets.find(key); found != offsets.end())
            return asUtc + found->second;
    }
    tm.tm_isdst = -1;
    const std::time_t result = std::mktime(&tm);
    if (result == static_cast<std::time_t>(-1))
        return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex);
    if (offsets.size() > 4096)
        offsets.clear();
    offsets.emplace(key, result - asUtc);
    return result;
}

std::int32_t FileAgeDos(const std::string& path) {
    const auto modified = fsys::LastWriteTime(path);
    if (!modified)
        return -1;
    std::tm tm{};
    if (!fsys::LocalTime(*modified, tm))
        return -1;
    const int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return -1;
    const auto date = static_cast<std::uint32_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    const auto time = static_cast<std::uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return static_cast<std::int32_t>((date << 16) | time);
}

std::optional<std::time_t> FileModTime(const std::string& path) {
    return fsys::LastWriteTime(path);
}

std::uint32_t ExtractedFileMode(std::uint16_t versionMadeBy, std::uint32_t externalAttr,
                                std::optional<std::uint32_t> replacedMode, std::uint32_t creationMask) {
    constexpr unsigned kHostUnix = 3;
    const std::uint32_t unixMode = externalAttr >> 16;
    const std::uint32_t type = unixMode & 0170000;
    std::uint32_t mode = 0644 & ~creationMask;
    // Only a regular file's permissions (or bare permissions) carry over; a link, device or pipe is
    // written as an ordinary file and gets the ordinary permissions.
    if ((versionMadeBy >> 8) == kHostUnix && unixMode != 0 && (type == 0 || type == 0100000))
        mode = unixMode & 0777 & ~creationMask;
    else if (replacedMode)
        mode = *replacedMode & 0777;
    if (externalAttr & 0x01)
        mode &= ~std::uint32_t{0222};
    else if ((mode & 0222) == 0)
        mode |= 0200;
    return mode;
}

TZAOutputFile::~TZAOutputFile() {
    Discard();
}

bool TZAOutputFile::Create(const std::string& target, std::optional<bool> replacesFile, bool nameIsFree) {
    Discard();
    replacedMode_.reset();
    outOfSpace_ = false;
    position_ = 0;
    // A directory, or a link that leads to one, is never replaced by a file.
    if (!nameIsFree && (!replacesFile.has_value() || !*replacesFile)) {
        if (fsys::IsDirectory(target))
            return false;
    }
    if (!nameIsFree && replacesFile.value_or(true))
        replacedMode_ = fsys::PermissionsOf(target);
    file_ = fsys::CreateTemporaryBeside(target, temporary_);
    if (!file_.Valid())
        return false;
    target_ = target;
    return true;
}

std::int64_t TZAOutputFile::Read(void* buffer, std::int64_t count) {
    const std::int64_t done = fsys::ReadAt(file_, buffer, count, position_);
    position_ += done;
    return done;
}

std::int64_t TZAOutputFile::Write(const void* buffer, std::int64_t count) {
    const std::int64_t done = fsys::WriteAt(file_, buffer, count, position_, &outOfSpace_);
    position_ += done;
    return done;
}

std::int64_t TZAOutputFile::Seek(std::int64_t offset, TSeekOrigin origin) {
    const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                              : origin == TSeekOrigin::soCurrent ? position_
                                                                 : fsys::SizeOf(file_);
    position_ = CheckedPosition(base, offset);
    return position_;
}

void TZAOutputFile::SetSize(std::int64_t size) {
    if (!fsys::Truncate(file_, size))
        throw EWriteError("Stream write error");
}

bool TZAOutputFile::SetLastWriteTime(std::time_t when) {
    return fsys::SetLastWriteTime(file_, when);
}

bool TZAOutputFile::SetEntryAttributes(std::uint16_t versionMadeBy, std::uint32_t externalAttr) {
    return fsys::SetEntryAttributes(
        file_, temporary_, ExtractedFileMode(versionMadeBy, externalAttr, replacedMode_), externalAttr);
}

bool TZAOutputFile::Flush() {
    return fsys::FlushToDevice(file_);
}

bool TZAOutputFile::IsOnRemovableMedia() const {
    return fsys::IsOnRemovableMedia(file_, target_); // the temporary lies beside it, on the same volume
}

bool TZAOutputFile::Commit() {
    if (!file_.Valid())
        return false;
    return fsys::PlaceTemporary(file_, temporary_, target_);
}

void TZAOutputFile::Discard() noexcept {
    fsys::DiscardTemporary(file_, temporary_);
}

} // namespace pc
