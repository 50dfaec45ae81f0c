#include "window/html_text.h"

#include "framework/helpers.h"

#include <cstring>
#include <utility>

namespace pc {

std::string HtmlToText(const std::string& html) {
    std::string text;
    bool pendingBlank = false;
    auto put = [&](char c) {
        if (c == '\n') {
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            if (!text.empty() && text.back() != '\n')
                text += '\n';
            pendingBlank = false;
            return;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            pendingBlank = !text.empty() && text.back() != '\n';
            return;
        }
        if (pendingBlank)
            text += ' ';
        pendingBlank = false;
        text += c;
    };
    // Where the text of a script or style ends is looked up without regard to case.
    const std::string lowerHtml = AsciiLowerCase(html);
    // As a browser reads a page: '<' opens a tag only before a letter, '/', '!' or '?'; otherwise it is text.
    auto opensTag = [&](std::size_t at) {
        if (at + 1 >= html.size())
            return false;
        const char next = html[at + 1];
        return (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') || next == '/' || next == '!' ||
               next == '?';
    };
    std::size_t i = 0;
    bool skipping = false; // inside <head> or <title>
    std::string skipEnd;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '<' && opensTag(i)) {
            if (html.compare(i, 4, "<!--") == 0) {
                // A comment ends at "-->" only, whatever '>' it holds.
                const std::size_t end = html.find("-->", i + 4);
                i = end == std::string::npos ? html.size() : end + 3;
                continue;
            }
            const std::size_t end = html.find('>', i);
            if (end == std::string::npos)
                break; // a tag cut off by the end of the page shows nothing
            const std::string tag = lowerHtml.substr(i + 1, end - i - 1);
            const std::string name = tag.substr(0, tag.find_first_of(" \t\r\n/", tag[0] == '/' ? 1 : 0));
            i = end + 1;
            if (name == "script" || name == "style") {
                // Their text is code, not markup: a '<' in it opens nothing, and it ends only at its own end
                // tag (or with the page), in the head as in the body.
                const std::size_t close = lowerHtml.find("</" + name, i);
                const std::size_t closeEnd = close == std::string::npos ? close : html.find('>', close);
                i = closeEnd == std::string::npos ? html.size() : closeEnd + 1;
                continue;
            }
            if (skipping) {
                if (name == skipEnd)
                    skipping = false;
                continue;
            }
            if (name == "head" || name == "title") {
                skipping = true;
                skipEnd = "/" + name;
                continue;
            }
            static const char* const kBlocks[] = {"p",   "/p",  "br",  "br/", "div", "/div",  "h1",
                                                  "/h1", "h2",  "/h2", "h3",  "/h3", "li",    "/li",
                                                  "tr",  "/tr", "/ul", "/ol", "hr",  "/table"};
            for (const char* block : kBlocks)
                if (name == block) {
                    put('\n');
                    break;
                }
            // A table's cells stay apart on their row, as the browser shows them.
            if (name == "td" || name == "th" || name == "/td" || name == "/th")
                put(' ');
            // A styled piece of a line (a date before a headline, a label before its value) is kept apart
            // from the element that follows it by the page's style sheet, which this reading does not
            // apply: a blank stands for that margin.
            if (name == "/span" && i < html.size() && html[i] == '<' && opensTag(i) && html[i + 1] != '/')
                put(' ');
            continue;
        }
        if (skipping) {
            ++i;
            continue;
        }
        if (c == '&') {
            static const std::pair<const char*, char> kEntities[] = {{"&amp;", '&'},  {"&lt;", '<'},
                                                                     {"&gt;", '>'},   {"&quot;", '"'},
                                                                     {"&#39;", '\''}, {"&nbsp;", ' '}};
            bool decoded = false;
            for (const auto& [entity, value] : kEntities)
                if (html.compare(i, std::strlen(entity), entity) == 0) {
                    put(value);
                    i += std::strlen(entity);
                    decoded = true;
                    break;
                }
            if (decoded)
                continue;
        }
        put(c == '\n' ? ' ' : c);
        ++i;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace pc
