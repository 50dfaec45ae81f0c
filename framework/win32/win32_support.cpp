#include "framework/win32/win32_support.h"

#include <sddl.h>

#include <climits>
#include <vector>

namespace pc::win32 {

std::wstring ToWide(std::string_view text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX)
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string FromWide(std::wstring_view text, UINT codePage) {
    if (text.empty() || text.size() > INT_MAX)
        return std::string();
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
    return bytes;
}

LocalMemory<void> OwnerOnlySecurity() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return nullptr;
    const UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return nullptr;
    std::vector<unsigned char> buffer(size);
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
        return nullptr;
    wchar_t* sidText = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &sidText))
        return nullptr;
    const LocalMemory<wchar_t> sid(sidText);
    // "P": protected, so nothing is inherited from the folder; one entry: full access for the user.
    const std::wstring text = L"D:P(A;;FA;;;" + std::wstring(sid.get()) + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr))
        return nullptr;
    return LocalMemory<void>(descriptor);
}

} // namespace pc::win32
