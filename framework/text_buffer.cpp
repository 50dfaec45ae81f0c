#include "framework/text_buffer.h"

#include "framework/exceptions.h"
#include "framework/file_io.h"

#include <algorithm>
#include <climits>

namespace pc {
namespace {

// Positions are 32-bit like the edit control's; a text that does not fit is refused.
constexpr std::size_t kCapacity = static_cast<std::size_t>(INT_MAX) - 1;

std::string CutAtNul(const std::string& text) {
    const auto nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

// Every lone CR and lone LF becomes CR LF; a CR LF pair stays.
std::string NormaliseLineBreaks(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

void TMemo::LoadTextFile(const std::string& path) {
    LoadTextBytes(ReadWholeFile(path));
}

void TMemo::LoadTextBytes(const std::string& bytes) {
    if (bytes.size() > kCapacity)
        throw EInvalidOperation("Text exceeds memo capacity");
    const std::string text = NormaliseLineBreaks(bytes);
    if (text == text_)
        return;
    const std::string cut = CutAtNul(text);
    if (cut.size() > kCapacity)
        throw EInvalidOperation("Text exceeds memo capacity");
    text_ = cut;
    anchor_ = caret_ = 0;
}

void TMemo::SetText(const std::string& text) {
    if (text == text_)
        return;
    text_ = CutAtNul(text);
    anchor_ = caret_ = 0;
}

void TMemo::SetSelectionStart(long position) {
    const long length = static_cast<long>(text_.size());
    // Beyond the end means the end; below zero (never passed by the launcher) means the start.
    const long p = std::clamp(position, 0L, length);
    anchor_ = caret_ = p;
}

long TMemo::SelectionStart() const {
    return std::min(anchor_, caret_);
}

long TMemo::SelectionLength() const {
    return anchor_ > caret_ ? anchor_ - caret_ : caret_ - anchor_;
}

void TMemo::SetSelectionLength(long count) {
    const long length = static_cast<long>(text_.size());
    anchor_ = SelectionStart();
    // A caret below zero or beyond the end stands at the end: the selection runs to the end of the text.
    // The bounds are tested before adding, so that no count can overflow the position.
    caret_ = (count < -anchor_ || count > length - anchor_) ? length : anchor_ + count;
}

std::string TMemo::SelectedText() const {
    return text_.substr(static_cast<std::size_t>(SelectionStart()),
                        static_cast<std::size_t>(SelectionLength()));
}

void TMemo::ReplaceSelection(const std::string& text) {
    const std::string insert = CutAtNul(text);
    const auto start = static_cast<std::size_t>(SelectionStart());
    text_.replace(start, static_cast<std::size_t>(SelectionLength()), insert);
    anchor_ = caret_ = static_cast<long>(start + insert.size());
}

void ReplaceLastMemoLine(std::string& memoText, const std::string& line) {
    const bool endsWithBreak = memoText.size() >= 2 && memoText.compare(memoText.size() - 2, 2, "\r\n") == 0;
    const std::size_t body = endsWithBreak ? memoText.size() - 2 : memoText.size();
    const std::size_t previousBreak = body < 2 ? std::string::npos : memoText.rfind("\r\n", body - 2);
    const std::size_t start = previousBreak == std::string::npos ? 0 : previousBreak + 2;
    memoText.replace(start, body - start, line);
}

void AppendMemoLine(std::string& memoText, const std::string& line) {
    const bool endsWithBreak = memoText.size() >= 2 && memoText.compare(memoText.size() - 2, 2, "\r\n") == 0;
    if (memoText.empty() || endsWithBreak) {
        memoText += line;
        memoText += "\r\n";
    } else {
        memoText += "\r\n";
        memoText += line;
    }
}

} // namespace pc
