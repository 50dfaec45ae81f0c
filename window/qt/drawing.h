// How the Qt edition draws the window's pictures and labels, and the conversions between the model's
// geometry and Qt's.
#pragma once

#include "window/geometry.h"
#include "window/layout.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

class QPainter;

namespace pc {

inline QRect ToQRect(const TRect& r) {
    return QRect(r.Left, r.Top, r.Width, r.Height);
}
inline QPoint ToQPoint(TPoint p) {
    return QPoint(p.X, p.Y);
}
inline TPoint FromQPoint(QPoint p) {
    return {p.x(), p.y()};
}
inline QColor ToQColor(TColour colour) {
    return QColor::fromRgba(colour);
}

// The layout's font; an entry without a family takes the window's default font.
QFont MakeFont(const TFontStyle& entry);

// One line, tabs expanded, '&' underlines the next character.
int LabelTextFlags();

void PaintPicture(QPainter& painter, const QImage& picture, QRect box, TPictureDrawing drawing);
// The keyboard's focus on a part that has no highlighted face: a dotted frame along the box's inside.
void PaintFocusFrame(QPainter& painter, QRect box);
void PaintLabel(QPainter& painter, const QString& caption, QRect box, const QFont& font, QColor colour,
                bool centred);

} // namespace pc
