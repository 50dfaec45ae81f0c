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

TPoint MainFormPlacement(TSize virtualDesktop, int spot) {
    // Integer division truncates towards zero, as the placement rule wants, before negatives are raised.
    const int x = std::max(0, (virtualDesktop.Width - kFormWidth) / 2);
    const int y = std::max(0, (virtualDesktop.Height - kFormHeight) / 2);
    const int room = std::min(virtualDesktop.Width - kFormWidth - x, virtualDesktop.Height - kFormHeight - y);
    const int steps = std::max(0, room) / kPlacementCascade + 1; // places that fit, the centred one included
    const int offset = (std::max(0, spot) % steps) * kPlacementCascade;
    return {x + offset, y + offset};
}

} // namespace pc
