#include "framework/exceptions.h"

namespace pc {

std::string WithClosingPeriod(const std::string& text) {
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        return text + ".";
    return text;
}

} // namespace pc
