#include "launcher/install/own_files.h"

#include "framework/helpers.h"

#include <algorithm>
#include <vector>

namespace pc {
namespace {

// A part of a name as Windows stores it: without trailing dots and blanks, in one letter case.
std::string Folded(std::string part) {
    while (!part.empty() && (part.back() == '.' || part.back() == ' '))
        part.pop_back();
    return AsciiLowerCase(std::move(part));
}

bool SameName(const std::string& folded, const std::string& own) {
    return !own.empty() && folded == Folded(own);
}

} // namespace

bool IsLauncherOwnFile(const std::string& name, const std::string& executableName) {
    // The parts of the name as the file system takes them; "." parts name nothing.
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        if (std::string part = Folded(name.substr(start, end - start)); !part.empty())
            parts.push_back(std::move(part));
        start = end + 1;
    }
    if (parts.empty())
        return false;
    for (const std::string prefix : {kStoredArchivePrefix, kResumeStatePrefix})
        if (SameName(parts.front(), prefix.substr(0, prefix.size() - 1)))
            return true;
    const auto same = [&](const char* own) { return SameName(parts.front(), own); };
    return parts.size() == 1 &&
           (std::any_of(std::begin(kOwnStateFiles), std::end(kOwnStateFiles), same) ||
            std::any_of(std::begin(kLauncherProgramNames), std::end(kLauncherProgramNames), same) ||
            SameName(parts.front(), executableName));
}

} // namespace pc
