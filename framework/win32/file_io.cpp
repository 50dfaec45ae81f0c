// Whole-file reads and the crash-safe replacement on Windows: a sibling temporary written, flushed with
// FlushFileBuffers and moved over the target with MoveFileExW, which replaces it in one step.
#include "framework/file_io.h"

#include "framework/exceptions.h"
#include "framework/helpers.h"
#include "framework/win32/win32_support.h"

// <windows.h> names its own ReplaceFile function with a macro; ours is meant here.
#undef ReplaceFile

#include <algorithm>
#include <cstdio>
#include <vector>

namespace pc {
namespace {

[[noreturn]] void RaiseOpen(const std::string& path) {
    throw EFOpenError("Cannot open file " + path);
}
[[noreturn]] void RaiseCreate(const std::string& path) {
    throw EFCreateError("Cannot create file " + path);
}
[[noreturn]] void RaiseWrite() {
    throw EWriteError("Stream write error");
}

// Creates a fresh, uniquely named file beside `path`, that nobody else may open while it is written.
win32::UniqueHandle CreateSibling(const std::string& path, std::string& siblingName) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        siblingName = PathPart(path) + "." + NamePart(path) + "." + RandomHexDigits(12) + ".tmp";
        win32::UniqueHandle file(::CreateFileA(siblingName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Valid())
            return file;
        if (::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    siblingName.clear();
    return win32::UniqueHandle();
}

// Removes the temporary file unless the move has taken it over.
class SiblingGuard {
public:
    explicit SiblingGuard(const std::string& name) : name_(name) {}
    SiblingGuard(const SiblingGuard&) = delete;
    SiblingGuard& operator=(const SiblingGuard&) = delete;
    ~SiblingGuard() {
        if (!committed_)
            ::DeleteFileA(name_.c_str());
    }
    void Commit() { committed_ = true; }

private:
    std::string name_;
    bool committed_ = false;
};

} // namespace

std::string ReadWholeFile(const std::string& path) {
    // Others may read meanwhile, nobody may write: the bytes read are one state of the file.
    win32::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        RaiseOpen(path);
    LARGE_INTEGER size{};
    std::string bytes;
    if (::GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0)
        bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr))
            RaiseOpen(path); // a half-read file must not pass for the whole one
        if (got == 0)
            break;
        bytes.append(chunk.data(), got);
    }
    return bytes;
}

void ReplaceFile(const std::string& path, const std::string& bytes) {
    if (path.empty())
        RaiseCreate(path);
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        RaiseCreate(path);

    std::string siblingName;
    win32::UniqueHandle file = CreateSibling(path, siblingName);
    if (!file.Valid())
        RaiseCreate(path);
    SiblingGuard guard(siblingName);

    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD put = 0;
        if (!::WriteFile(file.Get(), bytes.data() + done, piece, &put, nullptr) || put == 0)
            RaiseWrite();
        done += put;
    }
    if (!::FlushFileBuffers(file.Get()) || !file.Close())
        RaiseWrite();
    // The move itself is written through, so that after it returns a crash finds the new content.
    const std::wstring from = win32::ToWide(siblingName, CP_ACP);
    const std::wstring to = win32::ToWide(path, CP_ACP);
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        RaiseCreate(path);
    guard.Commit();
    RemoveLeftoverTemporaries(path);
}

} // namespace pc
