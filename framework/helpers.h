// Integer conversion and file-name helpers of the launcher core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

std::int32_t ParseInteger(const std::string& text); // EConvertError
std::string FormatInteger(std::int32_t value);

std::string ExecutablePath();                  // full path of the running program
std::string PathPart(const std::string& name); // up to and including the last separator
std::string NamePart(const std::string& name); // after the last separator
bool IsExistingFile(const std::string& name);  // a regular file of that literal name
bool RemoveFile(const std::string& name);
// Whether `name` is there as anything but a regular file of its own: a link (followed or not), a pipe, a
// device, or a file that other names share (a hard link). Writing through such a name reaches a file
// elsewhere. False when nothing has that name.
bool IsLinkOrSpecialFile(const std::string& name);
// Makes the folder of `name` (its PathPart) when it is missing; its parent must exist. True when the folder
// is there afterwards.
bool EnsureFolderOf(const std::string& name);

// The names (without the directory) of the regular files in `directory` (ending with a separator) whose
// names begin with `prefix`; none when the directory cannot be read. A prefix with a separator in it
// looks into that folder, and the names found keep the folder part of the prefix.
std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix);

// What tells one state of a file from another without reading it: the file it is (device, inode), its size
// and its modification time. Equal identities mean the content can be taken as unchanged.
struct TFileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const TFileIdentity&) const = default;
};
// The identity of the regular file of that literal name, or false when there is none.
bool FileIdentityOf(const std::string& name, TFileIdentity& identity);

// `count` (1 to 16) lower-case hexadecimal digits drawn at random, for names that must not be guessed or
// repeated; safe to call from any thread.
std::string RandomHexDigits(int count);

// The sum of two sizes, held at the largest value instead of wrapping: sizes come from archives, manifests
// and headers, where anyone may claim anything, and a sum that wrapped would pass for a small one.
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b);

// A number that the project's own text files hold: 1 to `maxDigits` (at most 19) decimal digits, without a
// sign or a needless leading zero, so that one value has one spelling.
std::optional<std::uint64_t> ParseCanonicalDecimal(std::string_view text, std::size_t maxDigits);

// ASCII letters in lower case, every other byte as it is (the C locale's rule, whatever the process's
// locale).
std::string AsciiLowerCase(std::string text);
// Whether `text` starts with `prefix`, ASCII letters compared without regard to case.
bool StartsWithAsciiCaseless(std::string_view text, std::string_view prefix);

// The application title before anything sets it: the executable's file name up to its first '.', every
// letter after the first in lower case ("PATCH-Client.bin" gives "Patch-client").
std::string InitialApplicationTitle(const std::string& executablePath);

} // namespace pc
