// Where the news view lets a page go. The news page is the server's, shown inside the launcher; it stays
// a news page: what leads to another host opens in the player's browser, and a page from the network
// reaches nothing on the player's disk. Toolkit-free, so that both front ends decide alike.
#pragma once

#include <string>

namespace pc {

enum class TNewsTarget {
    Inside,  // shown in the news view
    Browser, // handed to the player's browser
    Refused, // shown nowhere
};

// Where a page that `newsUrl` (the address the launcher gave the view) leads to goes when the player
// follows it: pages of the news page's own host inside, other web pages in the browser, local files only
// from a local news page, every other scheme nowhere.
TNewsTarget NewsLinkTarget(const std::string& newsUrl, const std::string& target);

// Where a page that the news page asks to open in a window of its own goes: web pages in the browser.
TNewsTarget NewsWindowTarget(const std::string& target);

} // namespace pc
