// How stored entry names become wide names: UTF-8 when flagged, else the OEM or the ANSI code page
// (framework/code_pages.h); wide names reach the file system as UTF-8.
#pragma once

#include "framework/code_pages.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pc {

// A stored entry name: bytes up to the first zero byte; UTF-8 when the entry carries the UTF-8 flag,
// else OEM (when oemFileNames) or ANSI.
std::u16string DecodeStoredName(std::string_view raw, bool utf8Flag, bool oemFileNames);

// An entry's stored name by its header: UTF-8 when flagged so, or when made on a Unix or macOS host and
// its bytes are valid UTF-8 with at least one non-ASCII character; otherwise as DecodeStoredName reads it.
std::u16string DecodeEntryName(std::string_view raw, std::uint16_t flags, std::uint16_t versionMadeBy,
                               bool oemFileNames);

} // namespace pc
