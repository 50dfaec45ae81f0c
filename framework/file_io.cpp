// What both platforms' whole-file replacement shares: the naming of its temporaries.
#include "framework/file_io.h"

#include "framework/helpers.h"

namespace pc {

bool IsReplacementTemporaryOf(const std::string& entry, const std::string& name) {
    const std::string head = "." + name + ".";
    constexpr std::size_t kDigits = 12;
    if (entry.size() != head.size() + kDigits + 4 || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - 4, 4, ".tmp") != 0)
        return false;
    for (std::size_t i = head.size(); i < head.size() + kDigits; ++i) {
        const char c = entry[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

void RemoveLeftoverTemporaries(const std::string& path) {
    for (const std::string& entry : FilesStartingWith(PathPart(path), "." + NamePart(path) + "."))
        if (IsReplacementTemporaryOf(entry, NamePart(path)))
            RemoveFile(PathPart(path) + entry);
}

} // namespace pc
