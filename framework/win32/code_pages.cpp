// The code pages of the Windows edition: the system's own ANSI and OEM code pages, its case mapping and its
// locale comparison. 8-bit names of the core are in the ANSI code page.
#include "framework/code_pages.h"

#include "framework/win32/win32_support.h"

// <windows.h> names OemToCharA OemToAnsi with a macro; ours is meant here.
#undef OemToAnsi

#include <climits>

namespace pc {
namespace {

std::u16string AsU16(const std::wstring& wide) {
    return std::u16string(wide.begin(), wide.end());
}

std::wstring_view AsWide(std::u16string_view text) {
    return std::wstring_view(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// Characters that the code page lacks become '?', never a best-fit look-alike: a name must not turn into
// another existing name.
std::string ToCodePage(std::u16string_view wide, UINT codePage) {
    if (wide.empty() || wide.size() > INT_MAX)
        return std::string();
    const std::wstring_view text = AsWide(wide);
    const int length = static_cast<int>(text.size());
    const DWORD flags = WC_NO_BEST_FIT_CHARS;
    const int needed = ::WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, "?", nullptr);
    if (needed <= 0)
        return std::string();
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(codePage, flags, text.data(), length, bytes.data(), needed, "?", nullptr);
    return bytes;
}

std::u16string MapCase(std::u16string_view wide, bool upper) {
    std::wstring text(AsWide(wide));
    if (!text.empty() && text.size() <= MAXDWORD) {
        if (upper)
            ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
        else
            ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return AsU16(text);
}

} // namespace

std::string OemToAnsi(std::string_view oem) {
    std::string out(oem);
    if (!out.empty() && out.size() <= MAXDWORD)
        ::OemToCharBuffA(out.data(), out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::u16string AnsiToWide(std::string_view ansi) {
    return AsU16(win32::ToWide(ansi, CP_ACP));
}

std::string WideToAnsi(std::u16string_view wide) {
    return ToCodePage(wide, CP_ACP);
}

std::u16string WideLowerCase(std::u16string_view wide) {
    return MapCase(wide, false);
}

std::u16string WideUpperCase(std::u16string_view wide) {
    return MapCase(wide, true);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() > INT_MAX || b.size() > INT_MAX)
        return false;
    return ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                            b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::u16string SystemToWide(std::string_view name) {
    return AnsiToWide(name);
}

std::string WideToSystem(std::u16string_view name) {
    return WideToAnsi(name);
}

} // namespace pc
