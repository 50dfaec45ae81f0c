#include "window/graphic_controls.h"

#include <QFontMetrics>
#include <QPainter>

#include <utility>

namespace pc {

TGraphicControl::TGraphicControl(std::string name, QRect bounds, bool visible)
    : name_(std::move(name)), bounds_(bounds), visible_(visible) {}

void TGraphicControl::SetVisible(bool visible) {
    if (visible_ == visible)
        return;
    visible_ = visible;
    Changed(bounds_);
}

void TGraphicControl::SetBounds(QRect bounds) {
    if (bounds_ == bounds)
        return;
    const QRect old = bounds_;
    bounds_ = bounds;
    if (visible_)
        Changed(old.united(bounds_));
}

void TGraphicControl::Changed(QRect area) const {
    if (OnChanged)
        OnChanged(area);
}

TImage::TImage(std::string name, QRect bounds, bool visible, TPictureDrawing drawing)
    : TGraphicControl(std::move(name), bounds, visible), drawing_(drawing) {}

void TImage::SetPicture(QImage picture) {
    picture_ = std::move(picture);
    if (drawing_ != TPictureDrawing::Stretch && !picture_.isNull())
        SetBounds(QRect(BoundsRect().topLeft(), picture_.size()));
    if (Visible())
        Changed(BoundsRect());
}

void TImage::Paint(QPainter& painter) const {
    if (picture_.isNull())
        return;
    switch (drawing_) {
    case TPictureDrawing::Stretch:
        painter.drawImage(BoundsRect(), picture_);
        break;
    case TPictureDrawing::Natural:
        painter.drawImage(BoundsRect().topLeft(), picture_);
        break;
    case TPictureDrawing::TransparentNatural: {
        // The bottom-left pixel names the colour that is not drawn.
        QImage keyed = picture_.convertToFormat(QImage::Format_ARGB32);
        const QRgb transparent = keyed.pixel(0, keyed.height() - 1);
        for (int y = 0; y < keyed.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
            for (int x = 0; x < keyed.width(); ++x)
                if (line[x] == transparent)
                    line[x] = 0;
        }
        painter.drawImage(BoundsRect().topLeft(), keyed);
        break;
    }
    }
}

TLabel::TLabel(std::string name, QRect bounds, bool visible, QFont font, QColor colour, bool autoSize,
               bool centred)
    : TGraphicControl(std::move(name), bounds, visible), font_(std::move(font)), colour_(colour),
      autoSize_(autoSize), centred_(centred) {}

int TLabel::TextFlags() {
    return Qt::TextSingleLine | Qt::TextExpandTabs | Qt::TextShowMnemonic;
}

void TLabel::SetCaption(const QString& caption) {
    if (caption_ == caption)
        return;
    caption_ = caption;
    if (autoSize_) {
        const QFontMetrics fm(font_);
        const QRect text = fm.boundingRect(QRect(0, 0, 0, 0), TextFlags(), caption_);
        // The left and top edges stay; the box grows or shrinks to the right and downwards.
        SetBounds(QRect(BoundsRect().topLeft(), QSize(text.width(), fm.height())));
    }
    if (Visible())
        Changed(BoundsRect());
}

void TLabel::SetSmoothText(bool smooth) {
    font_.setStyleStrategy(smooth ? QFont::PreferDefault : QFont::NoAntialias);
}

void TLabel::Paint(QPainter& painter) const {
    painter.save();
    painter.setClipRect(BoundsRect());
    painter.setFont(font_);
    painter.setPen(colour_);
    const int align = centred_ ? (Qt::AlignHCenter | Qt::AlignTop) : (Qt::AlignLeft | Qt::AlignTop);
    painter.drawText(BoundsRect(), align | TextFlags(), caption_);
    painter.restore();
}

} // namespace pc
