#include "window/layout_qt.h"

#include <algorithm>

namespace pc {

QColor RoleColour(TColourRole role) {
    return QColor::fromRgb(RoleRgb(role));
}

QPoint MainFormPlacement(QSize virtualDesktop) {
    // Integer division truncates towards zero, as the placement rule wants, before negatives are raised.
    const int x = (virtualDesktop.width() - kFormWidth) / 2;
    const int y = (virtualDesktop.height() - kFormHeight) / 2;
    return QPoint(std::max(0, x), std::max(0, y));
}

} // namespace pc
