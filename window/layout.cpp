#include "window/layout.h"

#include "framework/exceptions.h"

#include <string>

namespace pc {

const TControlLayout& LayoutOf(std::string_view name) {
    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Name == name)
            return entry;
    throw Exception("No control named " + std::string(name) + " in the window layout");
}

std::uint32_t RoleRgb(TColourRole role) {
    switch (role) {
    case TColourRole::CaptionGradient:
        return 0xB9D1EA; // RGB(185, 209, 234)
    case TColourRole::Light3D:
        return 0xE3E3E3; // RGB(227, 227, 227)
    case TColourRole::WindowText:
    case TColourRole::None:
        break;
    }
    return 0x000000;
}

} // namespace pc
