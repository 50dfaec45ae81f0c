#include "archive/existing_names.h"

#include "archive/code_pages.h"
#include "framework/file_system.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <vector>

namespace pc {
namespace {

// Per directory: the letter-case-folded names (UTF-8) and their spelling on disk. A hash map: a patch of a
// hundred thousand small files looks up every one of them.
using TSpellings = std::unordered_map<std::string, std::string>;

// The name folded as the name index folds it; plain ASCII, the usual case, without any conversion.
std::string Folded(const std::string& name) {
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string folded = name;
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return folded;
    }
    return WideToUtf8(WideLowerCase(Utf8ToWide(name)));
}

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
            it->second.emplace(Folded(entry), entry); // the first in order stays
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
            result += SpellingsIn(base + result).emplace(Folded(component), component).first->second;
        if (slash == std::string::npos)
            break;
        result += '/';
        start = slash + 1;
    }
    return result;
}

} // namespace pc
