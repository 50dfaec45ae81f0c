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
#include <random>
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
    static std::mt19937_64 generator{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%012llx",
                      static_cast<unsigned long long>(generator() & 0xFFFFFFFFFFFFull));
        siblingName = PathPart(path) + "." + NamePart(path) + suffix + ".tmp";
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

// Whether `entry` is a temporary that CreateSibling made for `name`: "." name "." 12 hex digits ".tmp".
bool IsSiblingOf(const std::string& entry, const std::string& name) {
    const std::string head = "." + name + ".";
    constexpr std::size_t kDigits = 12;
    if (entry.size() != head.size() + kDigits + 4 || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - 4, 4, ".tmp") != 0)
        return false;
    for (std::size_t i = head.size(); i < head.size() + kDigits; ++i) {
        const char c = entry[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Removes the temporaries that saves of `path` killed before their move left behind.
void RemoveLeftoverSiblings(const std::string& path) {
    for (const std::string& entry : FilesStartingWith(PathPart(path), "." + NamePart(path) + "."))
        if (IsSiblingOf(entry, NamePart(path)))
            ::DeleteFileA((PathPart(path) + entry).c_str());
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
    RemoveLeftoverSiblings(path);
}

} // namespace pc
