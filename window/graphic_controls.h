// Controls without a window of their own: pictures and labels that the form paints in stacking order and
// routes pointer events to.
#pragma once

#include "window/layout_qt.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>

#include <functional>
#include <string>

class QPainter;

namespace pc {

class TGraphicControl {
public:
    TGraphicControl(std::string name, QRect bounds, bool visible);
    virtual ~TGraphicControl() = default;
    TGraphicControl(const TGraphicControl&) = delete;
    TGraphicControl& operator=(const TGraphicControl&) = delete;

    const std::string& Name() const { return name_; }
    QRect BoundsRect() const { return bounds_; }
    bool Visible() const { return visible_; }
    bool Enabled() const { return enabled_; }
    void SetVisible(bool visible);
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    virtual void Paint(QPainter& painter) const = 0;

    // Pointer handlers; a control without them still takes the pointer where it lies on top.
    std::function<void()> OnMouseMove;
    std::function<void()> OnClick;
    // Told the area to repaint whenever the control's look or box changes.
    std::function<void(QRect)> OnChanged;

protected:
    void SetBounds(QRect bounds);
    void Changed(QRect area) const;

private:
    std::string name_;
    QRect bounds_;
    bool visible_;
    bool enabled_ = true;
};

class TImage : public TGraphicControl {
public:
    TImage(std::string name, QRect bounds, bool visible, TPictureDrawing drawing);

    // Pictures drawn at their natural size take the picture's size as their box.
    void SetPicture(QImage picture);
    const QImage& Picture() const { return picture_; }
    void Paint(QPainter& painter) const override;

private:
    QImage picture_;
    TPictureDrawing drawing_;
};

class TLabel : public TGraphicControl {
public:
    TLabel(std::string name, QRect bounds, bool visible, QFont font, QColor colour, bool autoSize,
           bool centred);

    QString Caption() const { return caption_; }
    void SetCaption(const QString& caption);
    const QFont& Font() const { return font_; }
    // Letters over the key colour are drawn without smoothing, so no key-coloured fringe remains.
    void SetSmoothText(bool smooth);
    void Paint(QPainter& painter) const override;

    // One line, tabs expanded, '&' underlines the next character.
    static int TextFlags();

private:
    QFont font_;
    QColor colour_;
    QString caption_;
    bool autoSize_;
    bool centred_;
};

} // namespace pc
