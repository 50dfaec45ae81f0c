#include "archive/existing_names.h"

#include "archive/code_pages.h"
#include "framework/file_system.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace pc {
namespace {

constexpr std::size_t kLongestPart = 255; // bytes in one name: a longer part exists nowhere

// One directory as this run knows it: its parts by their letter-case-folded name, each with its
// spelling and, once asked for, what lies below it. A tree, so that a deep name costs each part once
// rather than a copy of every path above it.
struct TSpellings {
    bool listed = false;
    std::map<std::u16string, std::pair<std::string, std::unique_ptr<TSpellings>>> parts;
};

std::map<std::string, TSpellings>& Bases() {
    static std::map<std::string, TSpellings> bases;
    return bases;
}

void ListOnce(TSpellings& directory, const std::string& path) {
    if (directory.listed)
        return;
    directory.listed = true;
    std::vector<std::string> entries = fsys::ListDirectory(path);
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) // the first in order stays
        directory.parts.try_emplace(WideLowerCase(Utf8ToWide(entry)), entry, nullptr);
}

} // namespace

void ForgetExistingNames() {
    Bases().clear();
}

std::string ExistingSpelling(const std::string& base, const std::string& relative) {
    // Past the longest name the system takes there is nothing to find, and nothing will be written.
    if (base.size() + relative.size() >= fsys::LongestPath())
        return relative;
    TSpellings* directory = &Bases()[base];
    std::string result;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t slash = relative.find('/', start);
        const std::size_t end = slash == std::string::npos ? relative.size() : slash;
        if (end - start > kLongestPart) {
            result.append(relative, start, std::string::npos);
            break;
        }
        if (end > start) {
            ListOnce(*directory, base + result);
            const std::string part = relative.substr(start, end - start);
            auto& [spelling, below] =
                directory->parts.try_emplace(WideLowerCase(Utf8ToWide(part)), part, nullptr).first->second;
            result += spelling;
            if (slash != std::string::npos) {
                if (!below)
                    below = std::make_unique<TSpellings>();
                directory = below.get();
            }
        }
        if (slash == std::string::npos)
            break;
        result += '/';
        start = slash + 1;
    }
    return result;
}

} // namespace pc
