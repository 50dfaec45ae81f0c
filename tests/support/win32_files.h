// Windows-only test helpers: a file held open by the test with the sharing it chooses, and attributes.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// <windows.h> gives OemToCharA and ReplaceFileA the names of the program's own functions as macros.
#undef OemToAnsi
#undef ReplaceFile

#include <string>

namespace pc::test {

// Holds `path` open (creating it when missing) with the given share flags until it goes out of scope.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD share)
        : handle_(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
    }
    bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Whether a handle to `path` is open anywhere: an open handle refuses one that shares nothing.
inline bool IsHeldOpen(const std::string& path) {
    const HANDLE probe =
        ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(probe);
    return false;
}

inline DWORD AttributesOf(const std::string& path) {
    return ::GetFileAttributesA(path.c_str());
}

// Whether the system's code pages are the ones the Linux edition's tables carry.
inline bool HasWesternCodePages() {
    return ::GetACP() == 1252 && ::GetOEMCP() == 437;
}

} // namespace pc::test
