// What the Windows services share: handles that close themselves and the conversions between the
// program's 8-bit names and the system's UTF-16 ones.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace pc::win32 {

// A kernel handle (file, process, thread, mutex) closed when its owner goes out of scope.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    // Hands the handle over to a caller that closes it.
    HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (Valid())
            ::CloseHandle(handle_);
        handle_ = handle;
    }
    // Closes now and reports whether the system accepted the close.
    bool Close() {
        if (!Valid())
            return true;
        return ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The end of the names of files moved aside: "name.<12 hex digits>.moved-aside.". Like the temporaries'
// names, they end in a dot, which no name an entry is extracted to can (see temporary_files.cpp), so no file
// a patch brought is ever taken for one.
inline constexpr const char* kMovedAside = ".moved-aside.";

// The "\\?\" form of the full name of the directory `path` lies in, ending with '\'; empty when the system
// cannot tell it. Names in that form are taken as they are, final dots included.
std::wstring VerbatimDirectoryOf(const std::string& path);

// 8-bit text in `codePage` (CP_UTF8, CP_ACP, CP_OEMCP, or a number) as UTF-16 and back.
std::wstring ToWide(std::string_view text, UINT codePage);
std::string FromWide(std::wstring_view text, UINT codePage);

// The archive's UTF-8 names as the system's wide names.
inline std::wstring WideName(const std::string& utf8) {
    return ToWide(utf8, CP_UTF8);
}

// Memory that the system allocated with LocalAlloc, freed when its owner goes out of scope.
struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
template <typename T> using LocalMemory = std::unique_ptr<T, LocalFreer>;

// A security descriptor whose access list grants the process's user full access and nobody else anything,
// and takes nothing from the folder; empty when the user cannot be told.
LocalMemory<void> OwnerOnlySecurity();

} // namespace pc::win32
