#include "window/layout.h"

#include "framework/exceptions.h"

#include <algorithm>
#include <string>

namespace pc {

const TControlLayout& LayoutOf(std::string_view name) {
    for (const TControlLayout& entry : kMainFormLayout)
        if (entry.Name == name)
            return entry;
    throw Exception("No control named " + std::string(name) + " in the window layout");
}

TColour RoleColour(TColourRole role) {
    switch (role) {
    case TColourRole::CaptionGradient:
        return MakeColour(185, 209, 234);
    case TColourRole::Light3D:
        return MakeColour(227, 227, 227);
    case TColourRole::WindowText:
    case TColourRole::None:
        break;
    }
    return MakeColour(0, 0, 0);
}

TPoint MainFormPlacement(TSize virtualDesktop) {
    // Integer division truncates towards zero, as the placement rule wants, before negatives are raised.
    const int x = (virtualDesktop.Width - kFormWidth) / 2;
    const int y = (virtualDesktop.Height - kFormHeight) / 2;
    return {std::max(0, x), std::max(0, y)};
}

} // namespace pc
