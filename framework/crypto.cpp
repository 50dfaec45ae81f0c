// What every platform's digests share.
#include "framework/crypto.h"

#include <cctype>

namespace pc {

bool IsSha256Text(const std::string& text) {
    if (text.size() != 64)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace pc
