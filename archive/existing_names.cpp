#include "archive/existing_names.h"

#include "archive/code_pages.h"
#include "framework/file_system.h"

#include <algorithm>
#include <map>
#include <vector>

namespace pc {
namespace {

// Per directory: the letter-case-folded names and their spelling on disk.
using TSpellings = std::map<std::u16string, std::string>;

std::map<std::string, TSpellings>& Directories() {
    static std::map<std::string, TSpellings> directories;
    return directories;
}

TSpellings& SpellingsIn(const std::string& directory) {
    auto [it, added] = Directories().try_emplace(directory);
    if (added) {
        std::vector<std::string> entries = fsys::ListDirectory(directory);
        std::sort(entries.begin(), entries.end());
        for (const std::string& entry : entries)
            it->second.emplace(WideLowerCase(Utf8ToWide(entry)), entry); // the first in order stays
    }
    return it->second;
}

} // namespace

void ForgetExistingNames() {
    Directories().clear();
}

std::string ExistingSpelling(const std::string& base, const std::string& relative) {
    std::string result;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t slash = relative.find('/', start);
        const std::size_t end = slash == std::string::npos ? relative.size() : slash;
        const std::string component = relative.substr(start, end - start);
        if (!component.empty())
            result += SpellingsIn(base + result)
                          .emplace(WideLowerCase(Utf8ToWide(component)), component)
                          .first->second;
        if (slash == std::string::npos)
            break;
        result += '/';
        start = slash + 1;
    }
    return result;
}

} // namespace pc
