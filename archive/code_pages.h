// How stored entry names become wide names: UTF-8 when flagged, else the OEM or the ANSI code page
// (framework/code_pages.h); wide names reach the file system as UTF-8.
#pragma once

#include "framework/code_pages.h"

#include <string>
#include <string_view>

namespace pc {

// A stored entry name: bytes up to the first zero byte; UTF-8 when the entry carries the UTF-8 flag,
// else OEM (when oemFileNames) or ANSI.
std::u16string DecodeStoredName(std::string_view raw, bool utf8Flag, bool oemFileNames);

} // namespace pc
