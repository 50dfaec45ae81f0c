// The output file on a Windows handle: CreateFileA letting others read and write meanwhile, so a player
// may look at a download while it runs; the system's error codes are the table's codes.
#include "framework/output_file.h"

#include "framework/exceptions.h"
#include "framework/win32/win32_support.h"

namespace pc {
namespace {

// Codes the writer sets itself, besides the system's.
constexpr int kCloseRefused = 1;
constexpr int kNotOpen = 103;

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

int InOutCodeFromSystemError(int err) {
    switch (err) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return kDiskFullCode;
    default:
        return err; // ERROR_PATH_NOT_FOUND 3, ERROR_ACCESS_DENIED 5, ERROR_SHARING_VIOLATION 32, ...
    }
}

TOutputFile::~TOutputFile() {
    if (handle_ != -1)
        ::CloseHandle(AsHandle(handle_));
}

bool IsUnusableNameCode(int code) {
    return code == ERROR_INVALID_NAME || code == ERROR_FILENAME_EXCED_RANGE || code == ERROR_BAD_PATHNAME ||
           code == ERROR_DIRECTORY;
}

void CreateOutputFile(TOutputFile& file, const std::string& path) {
    if (file.handle_ != -1) {
        ::CloseHandle(AsHandle(file.handle_));
        file.handle_ = -1;
    }
    file.path_ = path;
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        RaiseInOutError(InOutCodeFromSystemError(static_cast<int>(::GetLastError())), file.path_);
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
}

void ContinueOutputFile(TOutputFile& file, const std::string& path, std::int64_t length) {
    if (file.handle_ != -1) {
        ::CloseHandle(AsHandle(file.handle_));
        file.handle_ = -1;
    }
    file.path_ = path;
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        RaiseInOutError(InOutCodeFromSystemError(static_cast<int>(::GetLastError())), file.path_);
    // What follows the kept bytes goes; writing goes on at the new end.
    LARGE_INTEGER at{};
    at.QuadPart = length;
    if (!::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
        const int code = InOutCodeFromSystemError(static_cast<int>(::GetLastError()));
        ::CloseHandle(handle);
        RaiseInOutError(code, file.path_);
    }
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
}

void WriteOutputBytes(TOutputFile& file, const void* buffer, std::size_t count) {
    if (file.handle_ == -1)
        RaiseInOutError(kNotOpen, file.path_);
    if (count == 0)
        return;
    DWORD put = 0;
    const BOOL written = count <= MAXDWORD && ::WriteFile(AsHandle(file.handle_), buffer,
                                                          static_cast<DWORD>(count), &put, nullptr);
    if (written && put == count)
        return;
    const int code = written ? kDiskFullCode : InOutCodeFromSystemError(static_cast<int>(::GetLastError()));
    // A failed write ends the file's use: close it so no handle is left behind; what was written stays.
    ::CloseHandle(AsHandle(file.handle_));
    file.handle_ = -1;
    RaiseInOutError(code, file.path_);
}

bool OutputRoomFor(TOutputFile& file, std::int64_t count) {
    if (file.handle_ == -1 || count < 0)
        return false;
    // The free space of the volume that holds the file's folder, as this user may use it (quotas).
    const std::size_t slash = file.path_.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? std::string() : file.path_.substr(0, slash + 1);
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExA(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr))
        return false;
    return available.QuadPart >= static_cast<std::uint64_t>(count);
}

void CloseOutputFile(TOutputFile& file) {
    if (file.handle_ == -1)
        RaiseInOutError(kNotOpen, file.path_);
    const HANDLE handle = AsHandle(file.handle_);
    file.handle_ = -1;
    if (!::CloseHandle(handle))
        RaiseInOutError(kCloseRefused, file.path_);
}

} // namespace pc
