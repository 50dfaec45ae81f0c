#include "archive/extract_names.h"

#include <locale.h>
#include <wctype.h>

#include <vector>

namespace pc {
namespace {

bool IsSeparator(char16_t c) {
    return c == u'/' || c == u'\\';
}
bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The process's own locale may be "C"; names need the full Unicode case mapping.
class TUnicodeLocale {
public:
    TUnicodeLocale() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
    TUnicodeLocale(const TUnicodeLocale&) = delete;
    TUnicodeLocale& operator=(const TUnicodeLocale&) = delete;
    ~TUnicodeLocale() {
        if (locale_)
            freelocale(locale_);
    }
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

} // namespace

char16_t WideUpperCase(char16_t c) {
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    static const TUnicodeLocale locale;
    if (!locale.get())
        return c;
    const wint_t upper = towupper_l(static_cast<wint_t>(c), locale.get());
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

// The rules, read from the start of both strings: a pattern rest of exactly "*" matches; an exhausted
// name matches only an exhausted pattern; '*' stands for the run up to some position k of the rest of
// the name, k from 0 to its length - 1; '?' takes one character; any other character must be equal.
// Computed bottom-up over (name position, pattern position) so that patterns with many stars cannot
// take exponential time.
bool WildcardMatch(std::u16string_view name, std::u16string_view pattern, bool ignoreCase) {
    if (pattern == u"*.*")
        return true;
    const std::size_t n = name.size();
    const std::size_t m = pattern.size();
    auto equal = [&](char16_t a, char16_t b) {
        return ignoreCase ? WideUpperCase(a) == WideUpperCase(b) : a == b;
    };
    // row[j]: the rest of the name from i matches the pattern from j. below: the same for i + 1.
    // later[j]: the pattern from j matches the name from some position in i .. n - 1.
    std::vector<char> row(m + 1), below(m + 1), later(m + 1, 0);
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = m + 1; j-- > 0;) {
            bool match;
            if (j + 1 == m && pattern[j] == u'*')
                match = true;
            else if (i == n)
                match = j == m;
            else if (j == m)
                match = false;
            else if (pattern[j] == u'*')
                match = row[j + 1] != 0 || later[j + 1] != 0;
            else if (pattern[j] == u'?')
                match = below[j + 1] != 0;
            else
                match = equal(pattern[j], name[i]) && below[j + 1] != 0;
            row[j] = match;
        }
        if (i < n)
            for (std::size_t j = 0; j <= m; ++j)
                later[j] = later[j] || row[j];
        std::swap(row, below);
    }
    return below[0] != 0;
}

bool MatchesMask(std::u16string_view name, std::u16string_view mask) {
    if (mask.empty())
        return false;
    std::u16string working(mask);
    if (auto at = working.find(u"*.*"); at != std::u16string::npos)
        working.replace(at, 3, u"*");
    const bool noExtension = mask.back() == u'.';
    if (noExtension && !working.empty())
        working.pop_back();
    std::u16string_view subject = name;
    if (!subject.empty() && subject.back() == u'.')
        subject.remove_suffix(1);
    if (!WildcardMatch(subject, working, true))
        return false;
    if (!noExtension)
        return true;
    const std::size_t lastSeparator = name.find_last_of(u"\\:/");
    const std::size_t dot = name.rfind(u'.');
    const bool hasExtension = dot != std::u16string_view::npos &&
                              (lastSeparator == std::u16string_view::npos || dot > lastSeparator);
    return !hasExtension || name.substr(dot) == u".";
}

std::u16string FileNamePart(std::u16string_view name) {
    const std::size_t at = name.find_last_of(u"\\/:");
    return std::u16string(at == std::u16string_view::npos ? name : name.substr(at + 1));
}

std::u16string PrepareSearchMask(std::u16string_view mask) {
    std::u16string result(mask);
    if (result.size() >= 2 && result[1] == u':' && IsAsciiLetter(result[0])) {
        result.erase(0, 2);
    } else if (result.size() >= 2 && IsSeparator(result[0]) && IsSeparator(result[1])) {
        // \\server\share\rest: drop up to the separator after the share
        std::size_t server = result.find_first_of(u"\\/", 2);
        std::size_t share =
            server == std::u16string::npos ? server : result.find_first_of(u"\\/", server + 1);
        result.erase(0, share == std::u16string::npos ? result.size() : share + 1);
    }
    for (char16_t& c : result)
        if (c == u'\\')
            c = u'/';
    return result;
}

bool IsUnsafeEntryName(std::u16string_view name) {
    if (name.empty())
        return false;
    if (name.find(u'\0') != std::u16string_view::npos)
        return true;
    if (IsSeparator(name[0]))
        return true;
    if (name.size() >= 2 && name[1] == u':' && IsAsciiLetter(name[0]))
        return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        std::u16string_view component = name.substr(start, end - start);
        if (component == u"..")
            return true;
        if (end == name.size())
            return false;
        // An empty component: two separators meet (a single trailing separator marks a directory).
        if (component.empty())
            return true;
        start = end + 1;
        if (start == name.size())
            return false;
    }
}

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            ok = (t & 0xC0) == 0x80;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

} // namespace pc
