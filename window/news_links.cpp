#include "window/news_links.h"

#include "framework/helpers.h"

namespace pc {

namespace {

struct TAddress {
    std::string Scheme; // lower case
    std::string Host;   // lower case, without user and port
};

TAddress AddressOf(const std::string& url) {
    TAddress address;
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos)
        return address;
    address.Scheme = AsciiLowerCase(url.substr(0, colon));
    if (url.compare(colon + 1, 2, "//") != 0)
        return address;
    const std::size_t start = colon + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#\\", start) - start);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    // A bracketed IPv6 host keeps its colons; a port goes.
    const std::size_t close = authority.rfind(']');
    const std::size_t port = authority.rfind(':');
    if (port != std::string::npos && (close == std::string::npos || port > close))
        authority.erase(port);
    address.Host = AsciiLowerCase(authority);
    return address;
}

bool IsWeb(const TAddress& address) {
    return address.Scheme == "http" || address.Scheme == "https";
}

} // namespace

TNewsTarget NewsLinkTarget(const std::string& newsUrl, const std::string& target) {
    if (target == "about:blank")
        return TNewsTarget::Inside;
    const TAddress news = AddressOf(newsUrl);
    const TAddress to = AddressOf(target);
    if (to.Scheme == "file")
        return news.Scheme == "file" ? TNewsTarget::Inside : TNewsTarget::Refused;
    if (!IsWeb(to))
        return TNewsTarget::Refused;
    return IsWeb(news) && to.Host == news.Host ? TNewsTarget::Inside : TNewsTarget::Browser;
}

TNewsTarget NewsWindowTarget(const std::string& target) {
    return IsWeb(AddressOf(target)) ? TNewsTarget::Browser : TNewsTarget::Refused;
}

} // namespace pc
