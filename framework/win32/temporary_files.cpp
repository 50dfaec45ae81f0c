// Temporaries that replace files, on Windows: "pc-part.", 16 hexadecimal digits and a final '.', beside
// the target. Entry names reach the file system through the ordinary form of a name, in which the system
// strips every trailing dot and space from each part ("x." names "x"), so no entry is ever extracted to a
// name that ends in a dot; the temporaries are made, placed and removed through the "\\?\" form, which
// takes a name as it is. A name of that form is therefore always a temporary, and whatever a killed run
// left is found by its name alone. (The characters the system refuses in names would not do: the "\\?\"
// form refuses them as well.)
#include "framework/file_system.h"
#include "framework/helpers.h"

#include "framework/win32/win32_support.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace pc::win32 {

std::wstring VerbatimDirectoryOf(const std::string& target) {
    const std::size_t slash = target.find_last_of("\\/");
    const std::wstring directory =
        win32::WideName(slash == std::string::npos ? std::string(".\\") : target.substr(0, slash + 1));
    const DWORD needed = ::GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return std::wstring();
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(directory.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return std::wstring();
    full.resize(length);
    if (full.back() != L'\\')
        full += L'\\';
    if (full.rfind(L"\\\\?\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2); // a server's share
    return L"\\\\?\\" + full;
}

} // namespace pc::win32

namespace pc::fsys {
namespace {

using win32::kMovedAside;
using win32::VerbatimDirectoryOf;

constexpr const char* kTemporaryStart = "pc-part.";
constexpr std::size_t kTemporaryLength = 8 + 16 + 1;
constexpr int kNameAttempts = 100;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

std::string FreshTemporaryName(const std::wstring& directory) {
    return win32::FromWide(directory, CP_UTF8) + kTemporaryStart + RandomHexDigits(16) + ".";
}

} // namespace

void SetTemporaryMethod(TTemporaryMethod) {
    // One way here: every temporary is named.
}

std::uint32_t CreationMask() {
    return 0; // files carry attributes here, not permission bits
}

TFile CreateTemporaryBeside(const std::string& target, std::string& name) {
    name.clear();
    const std::wstring directory = VerbatimDirectoryOf(target);
    if (directory.empty())
        return TFile();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = FreshTemporaryName(directory);
        const HANDLE handle = ::CreateFileW(win32::WideName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return TFile(reinterpret_cast<std::intptr_t>(handle));
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    name.clear();
    return TFile();
}

bool PlaceTemporary(TFile& file, std::string& name, const std::string& target) {
    // A failed close can mean the data never reached the file: then the old file is the better one.
    const bool placed = file.Valid() && !name.empty() && file.Close() && ReplaceByRename(name, target);
    if (!placed)
        DiscardTemporary(file, name);
    name.clear();
    return placed;
}

void DiscardTemporary(TFile& file, std::string& name) noexcept {
    file.Close();
    if (!name.empty()) {
        const std::wstring wide = win32::WideName(name);
        ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL); // the entry's read-only bit may be on it
        ::DeleteFileW(wide.c_str());
    }
    name.clear();
}

bool IsTemporaryName(const std::string& fileName) {
    if (fileName.size() != kTemporaryLength || fileName.compare(0, 8, kTemporaryStart) != 0 ||
        fileName.back() != '.')
        return false;
    for (std::size_t i = 8; i + 1 < fileName.size(); ++i)
        if (!IsHexDigit(fileName[i]))
            return false;
    return true;
}

void RemoveLeftovers(const std::string& directory) {
    const bool separated = !directory.empty() && (directory.back() == '\\' || directory.back() == '/');
    const std::wstring top = VerbatimDirectoryOf(separated ? directory : directory + "\\");
    if (top.empty())
        return;
    const std::size_t asideLength = std::strlen(kMovedAside);
    std::vector<std::wstring> pending{top};
    while (!pending.empty()) {
        const std::wstring current = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW found{};
        const HANDLE search = ::FindFirstFileW((current + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = current + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A junction or directory link is not followed: it may lead anywhere.
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    pending.push_back(path + L'\\');
                continue;
            }
            const std::string narrow = win32::FromWide(name, CP_UTF8);
            const bool movedAside =
                narrow.size() > asideLength &&
                narrow.compare(narrow.size() - asideLength, asideLength, kMovedAside) == 0;
            if (movedAside || IsTemporaryName(narrow)) {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str()); // a program moved aside that still runs goes at a later start
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
}

} // namespace pc::fsys
