// Integer conversion and file-name helpers of the launcher core.
#pragma once

#include <cstdint>
#include <string>

namespace pc {

std::int32_t ParseInteger(const std::string& text); // EConvertError
std::string FormatInteger(std::int32_t value);

std::string ExecutablePath();                  // full path of the running program
std::string PathPart(const std::string& name); // up to and including the last separator
std::string NamePart(const std::string& name); // after the last separator
bool IsExistingFile(const std::string& name);  // a regular file of that literal name
bool RemoveFile(const std::string& name);

// The application title before anything sets it: the executable's file name up to its first '.', every
// letter after the first in lower case ("PATCH-Client.bin" gives "Patch-client").
std::string InitialApplicationTitle(const std::string& executablePath);

} // namespace pc
