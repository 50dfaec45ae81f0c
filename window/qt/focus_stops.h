// The parts of the Qt window that take the focus, as screen readers see them: one button per part of the
// model's focus order, without a picture of its own (the form draws the faces and the focus), lying over
// the part it stands for and letting the pointer through. Qt's accessibility gives each a name, a
// description, the focus and a press action over AT-SPI; keys go to the form, which hands them to the model.
// A part that does nothing for now (Start while the update runs) reads as unavailable, yet keeps the focus.
#pragma once

#include "window/focus.h"

#include <QAbstractButton>

namespace pc {

class TQtFocusStop final : public QAbstractButton {
public:
    TQtFocusStop(QWidget* form, TFocusStop stop);
    TFocusStop Stop() const { return stop_; }
    void SetItem(const TAccessibleItem& item); // name, description, place and whether it does anything now
    bool Available() const { return available_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TFocusStop stop_;
    bool available_ = true;
};

} // namespace pc
