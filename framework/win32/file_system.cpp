// The archive component's file system on Windows: the wide file functions with real share modes, file
// times through SetFileTime, DOS attributes through SetFileAttributesW, removable media by GetDriveTypeW.
#include "framework/file_system.h"
#include "framework/helpers.h"

#include "framework/win32/win32_support.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace pc::fsys {
namespace {

HANDLE AsHandle(const TFile& file) {
    return reinterpret_cast<HANDLE>(file.Get());
}

TFile Adopt(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return TFile();
    return TFile(reinterpret_cast<std::intptr_t>(handle));
}

DWORD ShareFlags(TShare share) {
    switch (share) {
    case TShare::DenyWrite:
        return FILE_SHARE_READ;
    case TShare::DenyRead:
        return FILE_SHARE_WRITE;
    case TShare::DenyNone:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    case TShare::Exclusive:
        break;
    }
    return 0;
}

DWORD AttributesOf(const std::string& name) {
    return ::GetFileAttributesW(win32::WideName(name).c_str());
}

// 100-nanosecond ticks since 1601 of a time_t (seconds since 1970, UTC).
FILETIME FileTimeOf(std::time_t when) {
    const auto ticks =
        static_cast<std::uint64_t>((static_cast<std::int64_t>(when) + 11644473600LL) * 10000000LL);
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

std::time_t TimeOf(const FILETIME& time) {
    const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return static_cast<std::time_t>(static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL);
}

using win32::kMovedAside;

} // namespace

bool TFile::Close() {
    if (handle_ == kNone)
        return true;
    return ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kNone))) != 0;
}

TFile OpenExisting(const std::string& name, TAccess access, TShare share) {
    DWORD desired = GENERIC_READ;
    if (access == TAccess::Write)
        desired = GENERIC_WRITE;
    else if (access == TAccess::ReadWrite)
        desired = GENERIC_READ | GENERIC_WRITE;
    // Without backup semantics a directory cannot be opened, so none is ever taken for a file.
    return Adopt(::CreateFileW(win32::WideName(name).c_str(), desired, ShareFlags(share), nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TFile CreateAlways(const std::string& name, TShare share) {
    return Adopt(::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(share),
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TFile CreateNew(const std::string& name, bool& existed) {
    TFile file = Adopt(::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    existed =
        !file.Valid() && (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS);
    return file;
}

TFile CreateNewPrivate(const std::string& name, bool& existed) {
    existed = false;
    const win32::LocalMemory<void> descriptor = win32::OwnerOnlySecurity();
    if (!descriptor)
        return TFile(); // never made with the folder's access list instead
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = FALSE;
    TFile file = Adopt(::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    existed =
        !file.Valid() && (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS);
    return file;
}

std::int64_t ReadAt(const TFile& file, void* buffer, std::int64_t count, std::int64_t offset) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset + done);
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        const auto piece = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
        DWORD got = 0;
        if (!::ReadFile(AsHandle(file), out + done, piece, &got, &at) || got == 0)
            break; // the end of the file reports ERROR_HANDLE_EOF
        done += got;
    }
    return done;
}

std::int64_t WriteAt(const TFile& file, const void* buffer, std::int64_t count, std::int64_t offset,
                     bool* outOfSpace) {
    if (outOfSpace != nullptr)
        *outOfSpace = false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset + done);
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        const auto piece = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
        DWORD put = 0;
        if (!::WriteFile(AsHandle(file), in + done, piece, &put, &at) || put == 0) {
            const DWORD error = ::GetLastError();
            if (outOfSpace != nullptr)
                *outOfSpace = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
            break;
        }
        done += put;
    }
    return done;
}

std::int64_t SizeOf(const TFile& file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(AsHandle(file), &size))
        return 0;
    return size.QuadPart;
}

bool Truncate(const TFile& file, std::int64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return ::SetFileInformationByHandle(AsHandle(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool FlushToDevice(const TFile& file) {
    return ::FlushFileBuffers(AsHandle(file)) != 0;
}

bool SetLastWriteTime(const TFile& file, std::time_t when) {
    const FILETIME written = FileTimeOf(when);
    return ::SetFileTime(AsHandle(file), nullptr, nullptr, &written) != 0;
}

bool IsOnRemovableMedia(const TFile&, const std::string& name) {
    const std::wstring wide = win32::WideName(name);
    if (wide.size() >= 2 && wide[1] == L':' &&
        (wide[0] == L'A' || wide[0] == L'a' || wide[0] == L'B' || wide[0] == L'b'))
        return true;
    std::vector<wchar_t> root(wide.size() + MAX_PATH + 1);
    if (!::GetVolumePathNameW(wide.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return false;
    return ::GetDriveTypeW(root.data()) == DRIVE_REMOVABLE;
}

bool SetEntryAttributes(const TFile&, const std::string& name, std::uint32_t, std::uint32_t dosAttributes) {
    // Read-only, hidden, system and archive; a directory or volume bit cannot go on a file.
    constexpr DWORD kSettable =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    DWORD attributes = dosAttributes & kSettable;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileAttributesW(win32::WideName(name).c_str(), attributes) != 0;
}

bool ReplaceByRename(const std::string& from, const std::string& to) {
    const std::wstring source = win32::WideName(from);
    const std::wstring target = win32::WideName(to);
    constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (::MoveFileExW(source.c_str(), target.c_str(), kFlags))
        return true;
    if (::GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    // A read-only target refuses to be replaced, a running program as well; the first loses its attribute,
    // the second goes aside.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetFileAttributesW(target.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        if (::MoveFileExW(source.c_str(), target.c_str(), kFlags))
            return true;
    }
    return RemoveNonDirectory(to) && ::MoveFileExW(source.c_str(), target.c_str(), kFlags);
}

std::optional<std::uint32_t> PermissionsOf(const std::string&) {
    return std::nullopt; // files carry attributes here, which the entries bring along
}

const char* NameSeparators() {
    return "\\/";
}

bool IsDirectory(const std::string& name) {
    const DWORD attributes = AttributesOf(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsNonDirectory(const std::string& name) {
    const DWORD attributes = AttributesOf(name);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CanOpenForReadWrite(const std::string& name) {
    TFile probe = Adopt(::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return probe.Valid();
}

bool IsReadOnly(const std::string& name) {
    const DWORD attributes = AttributesOf(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool RemoveNonDirectory(const std::string& name) {
    const std::wstring wide = win32::WideName(name);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    // A read-only file cannot be deleted: its attributes go first.
    ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::DeleteFileW(wide.c_str()))
        return true;
    if (::GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    // A running program can be renamed but not deleted or overwritten: it goes aside under a fresh name,
    // given in the form that keeps its final dot.
    const std::wstring directory = win32::VerbatimDirectoryOf(name);
    const std::size_t slash = name.find_last_of("\\/");
    const std::string fileName = slash == std::string::npos ? name : name.substr(slash + 1);
    for (int attempt = 0; !directory.empty() && attempt < 10; ++attempt) {
        const std::string suffix = "." + RandomHexDigits(12) + kMovedAside;
        if (::MoveFileExW(wide.c_str(), (directory + win32::WideName(fileName + suffix)).c_str(),
                          MOVEFILE_WRITE_THROUGH))
            return true;
        if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    ::SetFileAttributesW(wide.c_str(), attributes);
    return false;
}

bool MakeDirectory(const std::string& name) {
    return ::CreateDirectoryW(win32::WideName(name).c_str(), nullptr) != 0;
}

bool RemoveEmptyDirectory(const std::string& name) {
    // A junction or directory link is a reparse point: removing it would remove the link, not a folder
    // the patch emptied.
    const DWORD attributes = ::GetFileAttributesW(win32::WideName(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    return ::RemoveDirectoryW(win32::WideName(name).c_str()) != 0;
}

std::optional<std::time_t> LastWriteTime(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::WideName(name).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    return TimeOf(data.ftLastWriteTime);
}

std::vector<std::string> ListDirectory(const std::string& name, bool* read) {
    std::vector<std::string> names;
    std::string pattern = name.empty() ? std::string(".") : name;
    if (pattern.back() != '/' && pattern.back() != '\\')
        pattern += '\\';
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(win32::WideName(pattern + "*").c_str(), &found);
    if (read != nullptr) // an empty drive's top has not even "." to find
        *read = search != INVALID_HANDLE_VALUE || ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string entry = win32::FromWide(found.cFileName, CP_UTF8);
        if (entry != "." && entry != "..")
            names.push_back(entry);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

bool LocalTime(std::time_t when, std::tm& local) {
    return localtime_s(&local, &when) == 0;
}

std::string CurrentDirectory() {
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    if (needed == 0)
        return std::string();
    std::wstring directory(needed, L'\0');
    const DWORD length = ::GetCurrentDirectoryW(needed, directory.data());
    directory.resize(length);
    return win32::FromWide(directory, CP_UTF8);
}

std::optional<std::int64_t> FreeSpace(const std::string& directory) {
    // What the caller may use, quotas included, not the volume's whole free space.
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(win32::WideName(directory).c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return static_cast<std::int64_t>(std::min<ULONGLONG>(available.QuadPart, INT64_MAX));
}

} // namespace pc::fsys

namespace pc::fsys {
namespace {

// The name the system resolves an open handle to, reparse points (junctions, symbolic links) followed.
std::wstring FinalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

win32::UniqueHandle OpenDirectory(const std::wstring& name) {
    return win32::UniqueHandle(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool IsDirectoryHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return ::GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// `path` is `base` or lies below it; names compare without regard to letter case, as the system's do.
bool IsAtOrBelow(const std::wstring& path, const std::wstring& base) {
    if (path.size() < base.size() ||
        ::CompareStringOrdinal(path.data(), static_cast<int>(base.size()), base.data(),
                               static_cast<int>(base.size()), TRUE) != CSTR_EQUAL)
        return false;
    return path.size() == base.size() || base.back() == L'\\' || path[base.size()] == L'\\';
}

} // namespace

std::size_t LongestPath() {
    return 32767; // the system's limit for wide names
}

void SetBeneathMethod(TBeneathMethod) {
    // One way here: every part's final name is checked against the base's.
}

TBeneath MakeDirectoriesBeneath(const std::string& base, const std::string& relative) {
    if (base.size() + relative.size() >= LongestPath())
        return TBeneath::Failed;
    const std::wstring wideBase = win32::WideName(base.empty() ? std::string(".") : base);
    win32::UniqueHandle root = OpenDirectory(wideBase);
    const std::wstring finalBase = root.Valid() ? FinalPathOf(root.Get()) : std::wstring();
    if (finalBase.empty())
        return TBeneath::Failed;
    std::wstring path = wideBase;
    if (path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    const std::wstring wideRelative = win32::WideName(relative);
    for (std::size_t start = 0; start < wideRelative.size();) {
        std::size_t end = wideRelative.find_first_of(L"/\\", start);
        if (end == std::wstring::npos)
            end = wideRelative.size();
        const std::size_t length = end - start;
        if (length > 0) {
            path.append(wideRelative, start, length);
            win32::UniqueHandle part = OpenDirectory(path);
            if (!part.Valid()) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                    return TBeneath::Failed;
                // A link that leads nowhere stays in the way (its name exists), so nothing is made
                // through it; whatever was made is checked below for where the system put it.
                if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
                    return TBeneath::Failed;
                part = OpenDirectory(path);
                if (!part.Valid())
                    return TBeneath::Failed;
            }
            // Where the system took this part, through any junction or link on the way.
            if (!IsAtOrBelow(FinalPathOf(part.Get()), finalBase))
                return TBeneath::Outside;
            if (!IsDirectoryHandle(part.Get()))
                return TBeneath::Failed;
            path += L'\\';
        }
        start = end + 1;
    }
    return TBeneath::Inside;
}

} // namespace pc::fsys
