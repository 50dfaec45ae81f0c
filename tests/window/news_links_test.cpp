// Where the news view lets a page go: its own host inside, other web pages in the player's browser,
// nothing on the player's disk from a network page.
#include "window/news_links.h"

#include <gtest/gtest.h>

namespace pc::test {
namespace {

TEST(NewsLinks, OwnHostInsideOtherHostsInTheBrowserLocalFilesOnlyFromALocalPage) {
    constexpr auto kInside = TNewsTarget::Inside, kBrowser = TNewsTarget::Browser,
                   kRefused = TNewsTarget::Refused;
    const struct {
        const char* news;
        const char* target;
        TNewsTarget link;
        TNewsTarget window;
    } cases[] = {
        {"http://news.realm.example/n.html", "http://news.realm.example/old.html", kInside, kBrowser},
        {"http://news.realm.example/n.html", "HTTPS://NEWS.Realm.example:8443/a?b#c", kInside, kBrowser},
        {"http://news.realm.example/n.html", "http://realm.example/shop", kBrowser, kBrowser},
        {"http://news.realm.example/n.html", "http://news.realm.example@evil.example/", kBrowser, kBrowser},
        {"http://127.0.0.1:8080/n.html", "http://localhost:8080/n.html", kBrowser, kBrowser},
        {"http://[::1]:80/n.html", "http://[::1]/other", kInside, kBrowser},
        {"http://news.realm.example/n.html", "file:///etc/passwd", kRefused, kRefused},
        {"file:///games/realm/news.html", "file:///games/realm/old.html", kInside, kRefused},
        {"file:///games/realm/news.html", "http://realm.example/", kBrowser, kBrowser},
        {"http://news.realm.example/n.html", "javascript:alert(1)", kRefused, kRefused},
        {"http://news.realm.example/n.html", "about:blank", kInside, kRefused},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NewsLinkTarget(c.news, c.target), c.link) << c.news << " -> " << c.target;
        EXPECT_EQ(NewsWindowTarget(c.target), c.window) << c.target;
    }
}

} // namespace
} // namespace pc::test
