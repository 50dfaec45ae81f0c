// The layout's colours and placement in Qt's types.
#pragma once

#include "window/layout.h"

#include <QColor>
#include <QPoint>
#include <QSize>

namespace pc {

QColor RoleColour(TColourRole role);

// Where the window goes when it is first shown: centred by the virtual desktop's width and height alone,
// never at a negative coordinate.
QPoint MainFormPlacement(QSize virtualDesktop);

} // namespace pc
