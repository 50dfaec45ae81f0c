// Where the patch list comes from, and how the launcher fetches and believes it.
#pragma once

#include <string>
#include <vector>

namespace pc {

// The places and the key of one installation's patch list, as Config.ini gives them.
struct TListSource {
    std::string url;
    // Where else the list (and its signature) can be fetched from when `url` cannot serve it, in order.
    std::vector<std::string> mirrors;
    // The public key (base64 of DER SubjectPublicKeyInfo) its signature must verify under; empty for none.
    std::string key;
};

} // namespace pc
