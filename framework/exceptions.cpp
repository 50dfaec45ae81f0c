#include "framework/exceptions.h"

#include <cstdio>

namespace pc {

std::string WithClosingPeriod(const std::string& text) {
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        return text + ".";
    return text;
}

std::string ErrorReportText(const std::exception& error) {
    // The table's code of a denied access.
    constexpr int kAccessDenied = 5;
    std::string text = WithClosingPeriod(error.what());
    if (const auto* io = dynamic_cast<const EInOutError*>(&error);
        io != nullptr && io->ErrorCode == kAccessDenied && !io->Path.empty())
        text += " [" + io->Path + "]";
    return text;
}

namespace {

std::string TrimOleText(std::string text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
        text.pop_back();
    return text;
}

} // namespace

std::string PropertyOutOfRangeText(const std::string& className) {
    return className + " property out of range";
}

EOleException MakeOleException(const std::string& description) {
    return EOleException(TrimOleText(description));
}

EOleSysError MakeOleSysError(std::uint32_t code, const std::string& systemText) {
    if (systemText.empty() || systemText.size() > 255) {
        char text[32];
        std::snprintf(text, sizeof text, "OLE error %.8x", static_cast<unsigned>(code));
        return EOleSysError(text);
    }
    return EOleSysError(TrimOleText(systemText));
}

} // namespace pc
