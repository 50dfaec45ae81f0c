// The line list: a text file read as lines and written back with CR LF after every line.
#pragma once

#include <functional>
#include <string>
#include <string_view>
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
    // The same lines handed to `visit` one by one, without keeping them: a file of millions of empty lines
    // costs no more than its bytes.
    static void VisitLines(std::string_view bytes, const std::function<void(std::string_view)>& visit);
    // Reads the file as LoadLines does (EFOpenError) and visits its lines.
    static void VisitFileLines(const std::string& path, const std::function<void(std::string_view)>& visit);

private:
    std::vector<std::string> lines_;
};

} // namespace pc
