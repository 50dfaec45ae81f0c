// The news page as plain text, for a news view that cannot show HTML (the Windows edition's text field when
// the system's browser control is missing). Toolkit-free, so that every edition's tests read pages with it.
#pragma once

#include <string>

namespace pc {

// A page's HTML as the plain text the fallback shows: tags and comments dropped, block ends as line breaks,
// a table's cells apart on their row, a styled span apart from the element right after it, scripts, styles
// and the head left out, the common entities decoded, runs of blanks as one. A '<' that opens no tag ("a <
// b") is text, as a browser shows it.
std::string HtmlToText(const std::string& html);

} // namespace pc
