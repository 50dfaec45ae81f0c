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

// The "\\?\" form of `path` (in the system's code page), which takes its last part as it is, final dot
// and all; empty when the folder cannot be told.
std::wstring VerbatimName(const std::string& path) {
    const std::wstring folder =
        win32::VerbatimDirectoryOf(win32::FromWide(win32::ToWide(path, CP_ACP), CP_UTF8));
    return folder.empty() ? folder : folder + win32::ToWide(NamePart(path), CP_ACP);
}

// Creates a fresh, uniquely named file beside `path`, that nobody else may open while it is written.
// `siblingName` receives its "\\?\" form.
win32::UniqueHandle CreateSibling(const std::string& path, std::wstring& siblingName) {
    const TReplacementMarks marks = ReplacementTemporaryMarks();
    for (int attempt = 0; attempt < 100; ++attempt) {
        siblingName = VerbatimName(PathPart(path) + "." + NamePart(path) + marks.beforeDigits +
                                   RandomHexDigits(12) + ".tmp" + marks.atTheEnd);
        if (siblingName.empty())
            break;
        win32::UniqueHandle file(::CreateFileW(siblingName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
    explicit SiblingGuard(const std::wstring& name) : name_(name) {}
    SiblingGuard(const SiblingGuard&) = delete;
    SiblingGuard& operator=(const SiblingGuard&) = delete;
    ~SiblingGuard() {
        if (!committed_)
            ::DeleteFileW(name_.c_str());
    }
    void Commit() { committed_ = true; }

private:
    std::wstring name_;
    bool committed_ = false;
};

} // namespace

TReplacementMarks ReplacementTemporaryMarks() {
    return {".", "."};
}

bool RemoveReplacementTemporary(const std::string& path) {
    const std::wstring name = VerbatimName(path);
    return !name.empty() && ::DeleteFileW(name.c_str()) != 0;
}

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

    std::wstring siblingName;
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
    const std::wstring to = win32::ToWide(path, CP_ACP);
    if (!::MoveFileExW(siblingName.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        RaiseCreate(path);
    guard.Commit();
    RemoveLeftoverTemporaries(path);
}

} // namespace pc
