#include "framework/helpers.h"

#include "framework/exceptions.h"

#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pc {
namespace {

[[noreturn]] void RaiseNotAnInteger(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid integer value");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::int32_t ParseInteger(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;

    bool negative = false;
    bool hex = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i; // a sign admits decimal digits only
    } else if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n)
        RaiseNotAnInteger(text);

    if (hex) {
        std::uint32_t value = 0;
        for (; i < n; ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0 || value > 0x0FFFFFFFu)
                RaiseNotAnInteger(text);
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        // The 32 bits are read as a two's-complement value: $FFFFFFFF is -1.
        return static_cast<std::int32_t>(value);
    }

    std::int64_t value = 0;
    for (; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > 214748364)
            RaiseNotAnInteger(text);
        value = value * 10 + (text[i] - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        RaiseNotAnInteger(text);
    return static_cast<std::int32_t>(value);
}

std::string FormatInteger(std::int32_t value) {
    return std::to_string(value);
}

std::string ExecutablePath() {
    // The kernel's own record of the running image; no length limit beyond the system's.
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return std::string();
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

std::string PathPart(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

std::string NamePart(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsExistingFile(const std::string& name) {
    // The literal name, following links; any modification time counts (files stamped at the epoch by
    // reproducible builds exist all the same).
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.empty() ? "." : directory.c_str()),
                                                &::closedir);
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && IsExistingFile(directory + name))
            names.push_back(name);
    }
    return names;
}

bool FileIdentityOf(const std::string& name, TFileIdentity& identity) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.size = static_cast<std::int64_t>(st.st_size);
    identity.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool RemoveFile(const std::string& name) {
    return !name.empty() && ::unlink(name.c_str()) == 0;
}

std::string InitialApplicationTitle(const std::string& executablePath) {
    std::string title = NamePart(executablePath);
    title = title.substr(0, title.find('.'));
    for (std::size_t i = 1; i < title.size(); ++i)
        if (title[i] >= 'A' && title[i] <= 'Z')
            title[i] = static_cast<char>(title[i] - 'A' + 'a');
    return title;
}

} // namespace pc
