// Entry names during extraction: mask matching for selection and the safety test for targets.
#pragma once

#include <string>
#include <string_view>

namespace pc {

// Matches `name` against a pattern of '*' (any run of characters) and '?' (any one character); the
// pattern "*.*" matches anything. With ignoreCase both sides are upper-cased first.
bool WildcardMatch(std::u16string_view name, std::u16string_view pattern, bool ignoreCase);

// The file mask rules: "*.*" means every name, a mask ending in '.' means names without an extension,
// letter case is ignored. An empty mask matches nothing.
bool MatchesMask(std::u16string_view name, std::u16string_view mask);

// The text after the last '\', '/' or ':'.
std::u16string FileNamePart(std::u16string_view name);

// A mask as the search uses it: a leading drive ("C:") or server share ("\\server\share\") removed,
// '\' turned into '/'.
std::u16string PrepareSearchMask(std::u16string_view mask);

// True when a stored name could put its target outside the base directory or names no file: it is
// absolute, holds a colon (a drive "X:", or a Windows file's alternate data stream), has an empty component
// between two separators, a ".." component, or a NUL character. Both '/' and '\' separate components.
bool IsUnsafeEntryName(std::u16string_view name);

} // namespace pc
