#include "archive/extract_files.h"

#include "framework/exceptions.h"
#include "framework/posix/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pc {

bool IsExistingDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExistingNonDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsReadOnlyFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

bool CreateDirectoryChain(const std::string& path) {
    if (path.empty())
        throw Exception("Unable to create directory");
    std::string target = path;
    if (target.size() > 1 && target.back() == '/')
        target.pop_back();
    // Walk up to the deepest directory that exists, then create downwards.
    std::vector<std::string> missing;
    for (std::string current = target; !current.empty() && current != "/" && !IsExistingDirectory(current);) {
        missing.push_back(current);
        const std::size_t slash = current.find_last_of('/');
        if (slash == std::string::npos)
            break;
        current.erase(slash == 0 ? 1 : slash);
        while (current.size() > 1 && current.back() == '/')
            current.pop_back();
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) != 0 && !(errno == EEXIST && IsExistingDirectory(*it)))
            return false;
    }
    return true;
}

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
    std::tm utc = tm;
    const std::time_t asUtc = ::timegm(&utc);
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
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    std::tm tm{};
    if (!localtime_r(&st.st_mtime, &tm))
        return -1;
    const int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return -1;
    const auto date = static_cast<std::uint32_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    const auto time = static_cast<std::uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return static_cast<std::int32_t>((date << 16) | time);
}

std::optional<std::time_t> FileModTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtime;
}

mode_t ExtractedFileMode(std::uint16_t versionMadeBy, std::uint32_t externalAttr,
                         std::optional<mode_t> replacedMode) {
    constexpr unsigned kHostUnix = 3;
    const std::uint32_t unixMode = externalAttr >> 16;
    const std::uint32_t type = unixMode & 0170000;
    mode_t mode = 0644;
    // Only a regular file's permissions (or bare permissions) carry over; a link, device or pipe is
    // written as an ordinary file and gets the ordinary permissions.
    if ((versionMadeBy >> 8) == kHostUnix && unixMode != 0 && (type == 0 || type == 0100000))
        mode = static_cast<mode_t>(unixMode & 0777);
    else if (replacedMode)
        mode = *replacedMode & 0777;
    if (externalAttr & 0x01)
        mode &= static_cast<mode_t>(~0222);
    else if ((mode & 0222) == 0)
        mode |= 0200;
    return mode;
}

std::string TemporaryPathFor(const std::string& target) {
    constexpr std::string_view kSuffix = ".pc-part";
    constexpr std::size_t kLongestName = 255; // bytes in one name on Linux file systems
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string name = target.substr(nameStart);
    const std::size_t room = kLongestName - 1 - kSuffix.size();
    if (name.size() > room) {
        std::uint32_t hash = 2166136261u; // FNV-1a
        for (const char c : name)
            hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
        char tail[10];
        std::snprintf(tail, sizeof tail, "~%08x", static_cast<unsigned>(hash));
        std::size_t keep = room - (sizeof tail - 1);
        // Cut between characters, never inside a UTF-8 sequence.
        while (keep > 0 && (static_cast<std::uint8_t>(name[keep]) & 0xC0) == 0x80)
            --keep;
        name = name.substr(0, keep) + tail;
    }
    return target.substr(0, nameStart) + "." + name + std::string(kSuffix);
}

namespace {

bool ReadsOne(const std::string& file) {
    std::ifstream in(file);
    char c = 0;
    return in.get(c) && c == '1';
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

bool IsRemovableBlockDevice(unsigned major, unsigned minor, const std::string& sysRoot) {
    const std::string device = sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    if (Exists(device + "/removable"))
        return ReadsOne(device + "/removable");
    // A partition has no flag of its own; its disk is the directory above it.
    if (Exists(device + "/partition"))
        return ReadsOne(device + "/../removable");
    return false;
}

bool IsOnRemovableMedia(const std::string& path, const std::string& sysRoot) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return IsRemovableBlockDevice(::major(st.st_dev), ::minor(st.st_dev), sysRoot);
}

TZAOutputFile::~TZAOutputFile() {
    Discard();
}

bool TZAOutputFile::Create(const std::string& target) {
    Discard();
    replacedMode_.reset();
    outOfSpace_ = false;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return false;
        if (S_ISLNK(st.st_mode)) {
            struct stat linked {};
            if (::stat(target.c_str(), &linked) == 0) {
                if (S_ISDIR(linked.st_mode))
                    return false;
                if (S_ISREG(linked.st_mode))
                    replacedMode_ = linked.st_mode & 0777;
            }
        } else if (S_ISREG(st.st_mode)) {
            replacedMode_ = st.st_mode & 0777;
        }
    }
    const std::string temporary = TemporaryPathFor(target);
    // Only a new file will do: whatever is there already (a temporary a crash left behind, or a link in
    // its place) is removed, never opened through.
    constexpr int kFlags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::open(temporary.c_str(), kFlags, 0644);
    if (fd_ < 0 && errno == EEXIST && ::unlink(temporary.c_str()) == 0)
        fd_ = ::open(temporary.c_str(), kFlags, 0644);
    if (fd_ < 0)
        return false;
    target_ = target;
    temporary_ = temporary;
    return true;
}

std::int64_t TZAOutputFile::Read(void* buffer, std::int64_t count) {
    auto bytes = static_cast<char*>(buffer);
    return posix::TransferFully(count, [&](std::int64_t at) {
        return ::read(fd_, bytes + at, static_cast<std::size_t>(count - at));
    });
}

std::int64_t TZAOutputFile::Write(const void* buffer, std::int64_t count) {
    auto bytes = static_cast<const char*>(buffer);
    errno = 0;
    const std::int64_t written = posix::TransferFully(count, [&](std::int64_t at) {
        return ::write(fd_, bytes + at, static_cast<std::size_t>(count - at));
    });
    outOfSpace_ = written < count && (errno == ENOSPC || errno == EDQUOT);
    return written;
}

std::int64_t TZAOutputFile::Seek(std::int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return at < 0 ? 0 : static_cast<std::int64_t>(at);
}

void TZAOutputFile::SetSize(std::int64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        throw EWriteError("Stream write error");
}

bool TZAOutputFile::SetLastWriteTime(std::time_t when) {
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return ::futimens(fd_, times) == 0;
}

bool TZAOutputFile::SetMode(mode_t mode) {
    return ::fchmod(fd_, mode) == 0;
}

bool TZAOutputFile::Flush() {
    return ::fsync(fd_) == 0;
}

bool TZAOutputFile::IsOnRemovableMedia(const std::string& sysRoot) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return false;
    // A device does not change its kind while files are written to it: the answer is kept per device.
    static std::mutex mutex;
    static std::map<std::pair<dev_t, std::string>, bool> answers;
    const auto key = std::make_pair(st.st_dev, sysRoot);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (auto found = answers.find(key); found != answers.end())
            return found->second;
    }
    const bool removable = IsRemovableBlockDevice(::major(st.st_dev), ::minor(st.st_dev), sysRoot);
    std::lock_guard<std::mutex> lock(mutex);
    answers.emplace(key, removable);
    return removable;
}

bool TZAOutputFile::Commit() {
    if (fd_ < 0)
        return false;
    // A failed close can mean the data never reached the file: then the old file is the better one.
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!closed || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void TZAOutputFile::Discard() noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

} // namespace pc
