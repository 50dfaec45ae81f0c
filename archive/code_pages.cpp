#include "archive/code_pages.h"

namespace pc {

std::u16string DecodeStoredName(std::string_view raw, bool utf8Flag, bool oemFileNames) {
    std::string_view bytes = raw.substr(0, raw.find('\0'));
    if (utf8Flag)
        return Utf8ToWide(bytes);
    if (oemFileNames)
        return AnsiToWide(OemToAnsi(bytes));
    return AnsiToWide(bytes);
}

} // namespace pc
