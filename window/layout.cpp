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

QColor RoleColour(TColourRole role) {
    switch (role) {
    case TColourRole::CaptionGradient:
        return QColor(185, 209, 234);
    case TColourRole::Light3D:
        return QColor(227, 227, 227);
    case TColourRole::WindowText:
    case TColourRole::None:
        break;
    }
    return QColor(0, 0, 0);
}

QPoint MainFormPlacement(QSize virtualDesktop) {
    // Integer division truncates towards zero, as the placement rule wants, before negatives are raised.
    const int x = (virtualDesktop.width() - kFormWidth) / 2;
    const int y = (virtualDesktop.height() - kFormHeight) / 2;
    return QPoint(std::max(0, x), std::max(0, y));
}

} // namespace pc
