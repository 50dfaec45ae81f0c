#include "archive/existing_names.h"

#include "archive/code_pages.h"
#include "framework/file_system.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace pc {
namespace {

constexpr std::size_t kLongestPart = 255; // bytes in one name: a longer part exists nowhere

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

// One directory as this run knows it: its parts by their letter-case-folded name, each with its
// spelling and, once asked for, what lies below it (a hash map per directory: a patch of a hundred thousand
// small files looks up every one of them). A tree, so that a deep name costs each part once
// rather than a copy of every path above it.
struct TSpellings {
    bool listed = false;
    bool known = false; // whether the listing is all there is: read, or the folder was not there
    std::unordered_map<std::string, std::pair<std::string, std::unique_ptr<TSpellings>>> parts;
};

std::map<std::string, TSpellings>& Bases() {
    static std::map<std::string, TSpellings> bases;
    return bases;
}

void ListOnce(TSpellings& directory, const std::string& path) {
    if (directory.listed)
        return;
    directory.listed = true;
    bool read = false;
    std::vector<std::string> entries = fsys::ListDirectory(path, &read);
    // A folder that is not there holds nothing yet.
    directory.known = read || !fsys::IsDirectory(path.empty() ? std::string(".") : path);
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) // the first in order stays
        directory.parts.try_emplace(Folded(entry), entry, nullptr);
}

} // namespace

void ForgetExistingNames() {
    Bases().clear();
}

std::string ExistingSpelling(const std::string& base, const std::string& relative, bool* nameIsFree) {
    if (nameIsFree != nullptr)
        *nameIsFree = false;
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
            const auto [at, added] = directory->parts.try_emplace(Folded(part), part, nullptr);
            auto& [spelling, below] = at->second;
            if (nameIsFree != nullptr && slash == std::string::npos)
                *nameIsFree = added && directory->known;
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
