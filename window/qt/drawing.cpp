#include "window/qt/drawing.h"

#include <QPainter>
#include <QPen>

namespace pc {

QFont MakeFont(const TFontStyle& entry) {
    const TFontStyle& base = entry.Family.empty() ? kDefaultFont : entry;
    QFont font(QString::fromLatin1(base.Family.data(), static_cast<qsizetype>(base.Family.size())));
    font.setPixelSize(base.PixelHeight);
    font.setBold(entry.Bold);
    font.setUnderline(entry.Underline);
    return font;
}

int LabelTextFlags() {
    return Qt::TextSingleLine | Qt::TextExpandTabs | Qt::TextShowMnemonic;
}

void PaintPicture(QPainter& painter, const QImage& picture, QRect box, TPictureDrawing drawing) {
    if (picture.isNull())
        return;
    switch (drawing) {
    case TPictureDrawing::Stretch:
        painter.drawImage(box, picture);
        break;
    case TPictureDrawing::Natural:
        painter.drawImage(box.topLeft(), picture);
        break;
    case TPictureDrawing::TransparentNatural: {
        // The bottom-left pixel names the colour that is not drawn.
        QImage keyed = picture.convertToFormat(QImage::Format_ARGB32);
        const QRgb transparent = keyed.pixel(0, keyed.height() - 1);
        for (int y = 0; y < keyed.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
            for (int x = 0; x < keyed.width(); ++x)
                if (line[x] == transparent)
                    line[x] = 0;
        }
        painter.drawImage(box.topLeft(), keyed);
        break;
    }
    }
}

void PaintLabel(QPainter& painter, const QString& caption, QRect box, const QFont& font, QColor colour,
                bool centred) {
    painter.save();
    painter.setClipRect(box);
    painter.setFont(font);
    painter.setPen(colour);
    const int align = centred ? (Qt::AlignHCenter | Qt::AlignTop) : (Qt::AlignLeft | Qt::AlignTop);
    painter.drawText(box, align | LabelTextFlags(), caption);
    painter.restore();
}

void PaintFocusFrame(QPainter& painter, QRect box) {
    painter.save();
    painter.setPen(QPen(ToQColor(RoleColour(TColourRole::CaptionGradient)), 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.restore();
}

} // namespace pc
