// The file helpers on Windows: the 8-bit (ANSI) file functions, names split at '\', '/' or ':'.
#include "framework/helpers.h"

#include "framework/win32/win32_support.h"

#include <vector>

namespace pc {
namespace {

constexpr const char* kDelimiters = "\\/:";

// Closes a directory search when its owner goes out of scope.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::FindClose(handle_);
    }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

std::string ExecutablePath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::string();
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2); // the name was cut off
    }
}

std::string PathPart(const std::string& name) {
    const auto at = name.find_last_of(kDelimiters);
    return at == std::string::npos ? std::string() : name.substr(0, at + 1);
}

std::string NamePart(const std::string& name) {
    const auto at = name.find_last_of(kDelimiters);
    return at == std::string::npos ? name : name.substr(at + 1);
}

bool IsExistingFile(const std::string& name) {
    if (name.empty())
        return false;
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsLinkOrSpecialFile(const std::string& name) {
    if (name.empty())
        return false;
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return true; // a symbolic link or a junction
    // The link itself is opened, never what it names; a device answers as something else than a disk file.
    win32::UniqueHandle file(::CreateFileA(name.c_str(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return false;
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK)
        return true;
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(file.Get(), &info) && info.nNumberOfLinks > 1;
}

std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    const std::string folder = PathPart(prefix); // "tqm_download\\" of "tqm_download\\p"
    const std::string start = NamePart(prefix);
    WIN32_FIND_DATAA found{};
    FindHandle search(::FindFirstFileA((directory + folder + "*").c_str(), &found));
    if (!search.Valid())
        return names;
    do {
        const std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            name.compare(0, start.size(), start) == 0)
            names.push_back(folder + name);
    } while (::FindNextFileA(search.Get(), &found));
    return names;
}

bool EnsureFolderOf(const std::string& name) {
    const std::string folder = PathPart(name);
    if (folder.empty())
        return true;
    const DWORD attributes = ::GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return ::CreateDirectoryA(folder.c_str(), nullptr) != 0;
}

bool FileIdentityOf(const std::string& name, TFileIdentity& identity) {
    if (name.empty())
        return false;
    // Opening for no access at all reads the identity without disturbing any other opener.
    win32::UniqueHandle file(::CreateFileA(name.c_str(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    identity.device = info.dwVolumeSerialNumber;
    identity.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity.size = static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    // 100-nanosecond ticks; only equality matters.
    const std::uint64_t ticks =
        (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    identity.modifiedNs = static_cast<std::int64_t>(ticks * 100);
    return true;
}

bool RemoveFile(const std::string& name) {
    return !name.empty() && ::DeleteFileA(name.c_str()) != 0;
}

} // namespace pc
