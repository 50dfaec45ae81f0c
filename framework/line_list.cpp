#include "framework/line_list.h"

#include "framework/code_pages.h"
#include "framework/exceptions.h"
#include "framework/file_io.h"

namespace pc {

void TStringList::VisitLines(std::string_view bytes, const std::function<void(std::string_view)>& visit) {
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return k < n ? bytes[k] : '\0'; };
    while (at(i) != '\0') {
        const std::size_t start = i;
        while (at(i) != '\0' && at(i) != '\r' && at(i) != '\n')
            ++i;
        visit(bytes.substr(start, i - start));
        if (at(i) == '\r')
            ++i;
        if (at(i) == '\n')
            ++i;
    }
}

void TStringList::VisitFileLines(const std::string& path,
                                 const std::function<void(std::string_view)>& visit) {
    VisitLines(ReadWholeFile(path), visit);
}

std::vector<std::string> TStringList::SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    VisitLines(bytes, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

void TStringList::LoadLines(const std::string& path) {
    // Read first, so that a file that cannot be read leaves the list as it was.
    auto lines = SplitLines(ReadWholeFile(path));
    lines_ = std::move(lines);
}

void TStringList::SaveLines(const std::string& path) const {
    std::string bytes;
    for (const auto& line : lines_) {
        bytes += line;
        bytes += "\r\n";
    }
    ReplaceFile(path, bytes);
}

int TStringList::AppendLine(const std::string& text) {
    lines_.push_back(text);
    return static_cast<int>(lines_.size()) - 1;
}

int TStringList::FindLine(const std::string& text) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (EqualIgnoringCase(lines_[i], text))
            return static_cast<int>(i);
    return -1;
}

int TStringList::LineCount() const {
    return static_cast<int>(lines_.size());
}

const std::string& TStringList::LineAt(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= lines_.size())
        throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
    return lines_[static_cast<std::size_t>(index)];
}

} // namespace pc
