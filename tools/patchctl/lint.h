// The patch list checks of `patchctl lint`, for the commands that change a list.
#pragma once

#include <string>

namespace pc::patchctl {

// Checks the patch list at `path` by the launcher's reading rules and prints every problem on stdout with
// `label` and its line number. Returns the number of problems; `rowCount` receives the number of rows.
// EFOpenError when the file cannot be read.
int LintList(const std::string& path, const std::string& label, int& rowCount);

} // namespace pc::patchctl
