// The line list: a text file read as lines and written back with CR LF after every line.
#pragma once

#include <string>
#include <vector>

namespace pc {

class TStringList {
public:
    void LoadLines(const std::string& path);       // EFOpenError; the list is unchanged on failure
    void SaveLines(const std::string& path) const; // atomic replace; EFCreateError, EWriteError
    int AppendLine(const std::string& text);       // returns the new line's index
    int FindLine(const std::string& text) const;   // case-insensitive; -1 when absent
    int LineCount() const;
    const std::string& LineAt(int index) const; // EStringListError

    // Splits bytes by the line-file rules (CR LF, lone CR, lone LF; the first NUL ends the text).
    static std::vector<std::string> SplitLines(const std::string& bytes);

private:
    std::vector<std::string> lines_;
};

} // namespace pc
