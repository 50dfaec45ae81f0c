// What both platforms' whole-file replacement shares: the naming of its temporaries.
#include "framework/file_io.h"

#include "framework/helpers.h"

namespace pc {

bool IsReplacementTemporaryOf(const std::string& entry, const std::string& name) {
    const TReplacementMarks marks = ReplacementTemporaryMarks();
    const std::string head = "." + name + marks.beforeDigits;
    const std::string tail = std::string(".tmp") + marks.atTheEnd;
    constexpr std::size_t kDigits = 12;
    if (entry.size() != head.size() + kDigits + tail.size() || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (std::size_t i = head.size(); i < head.size() + kDigits; ++i) {
        const char c = entry[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

void RemoveLeftoverTemporaries(const std::string& path) {
    for (const std::string& entry : FilesStartingWith(PathPart(path), "." + NamePart(path)))
        if (IsReplacementTemporaryOf(entry, NamePart(path)))
            RemoveReplacementTemporary(PathPart(path) + entry);
}

} // namespace pc
