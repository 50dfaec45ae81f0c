// The hidden text buffer: one text with a selection of two positions, keeping the edit-control rules.
#pragma once

#include <string>

namespace pc {

class TMemo {
public:
    void LoadTextFile(const std::string& path); // EFOpenError, EInvalidOperation
    // Takes `bytes` as LoadTextFile takes a file's content. EInvalidOperation
    void LoadTextBytes(const std::string& bytes);
    const std::string& Text() const { return text_; }
    void SetText(const std::string& text); // cut before the first NUL; no line-break normalisation

    void SetSelectionStart(long position);
    long SelectionStart() const;
    long SelectionLength() const;
    void SetSelectionLength(long count);
    std::string SelectedText() const;
    void ReplaceSelection(const std::string& text);

private:
    std::string text_;
    long anchor_ = 0;
    long caret_ = 0;
};

// The memo line-view append rule used by the log.
void AppendMemoLine(std::string& memoText, const std::string& line);
// Puts `line` in place of the memo's last line (the text after the last line break, or the line that
// break ends when nothing follows it); an empty memo gets it appended.
void ReplaceLastMemoLine(std::string& memoText, const std::string& line);

} // namespace pc
