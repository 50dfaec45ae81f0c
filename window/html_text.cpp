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
    std::size_t i = 0;
    bool skipping = false; // inside <script>, <style> or <head>
    std::string skipEnd;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '<') {
            const std::size_t end = html.find('>', i);
            if (end == std::string::npos)
                break;
            const std::string tag = AsciiLowerCase(html.substr(i + 1, end - i - 1));
            const std::string name = tag.substr(0, tag.find_first_of(" \t\r\n/", tag[0] == '/' ? 1 : 0));
            i = end + 1;
            if (skipping) {
                if (name == skipEnd)
                    skipping = false;
                continue;
            }
            if (name == "script" || name == "style" || name == "head" || name == "title") {
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
