// A plain model of the hidden text buffer, written from the edit-control rules: a text without NUL bytes,
// an anchor and a caret; positions past the end, and a caret that a length puts below zero, stand at the
// end. Shared by the text buffer and configuration targets.
#pragma once

#include <string>

namespace pc::fuzz {

class MemoModel {
public:
    static std::string CutAtNul(const std::string& s) { return s.substr(0, s.find('\0')); }

    static std::string Normalised(const std::string& bytes) {
        std::string out;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                out += "\r\n";
                ++i;
            } else if (bytes[i] == '\r' || bytes[i] == '\n') {
                out += "\r\n";
            } else {
                out += bytes[i];
            }
        }
        return out;
    }

    void SetText(const std::string& s) {
        if (s == text)
            return;
        text = CutAtNul(s);
        anchor = caret = 0;
    }
    void LoadBytes(const std::string& bytes) { SetText(Normalised(bytes)); }
    void SetSelectionStart(long long p) {
        const long long end = static_cast<long long>(text.size());
        anchor = caret = p < 0 ? 0 : (p > end ? end : p);
    }
    long long Start() const { return anchor < caret ? anchor : caret; }
    long long Length() const { return anchor < caret ? caret - anchor : anchor - caret; }
    void SetSelectionLength(long long count) {
        anchor = Start();
        // The model must not overflow where the real buffer must not either.
        long long target = 0;
        const bool overflow = __builtin_add_overflow(anchor, count, &target);
        const long long end = static_cast<long long>(text.size());
        caret = (overflow || target < 0 || target > end) ? end : target;
    }
    std::string Selected() const {
        return text.substr(static_cast<std::size_t>(Start()), static_cast<std::size_t>(Length()));
    }
    void Replace(const std::string& s) {
        const std::string insert = CutAtNul(s);
        const long long start = Start();
        text.replace(static_cast<std::size_t>(start), static_cast<std::size_t>(Length()), insert);
        anchor = caret = start + static_cast<long long>(insert.size());
    }

    std::string text;
    long long anchor = 0;
    long long caret = 0;
};

} // namespace pc::fuzz
