#include "window/qt/focus_stops.h"

#include "window/qt/application.h"
#include "window/qt/drawing.h"

namespace pc {

TQtFocusStop::TQtFocusStop(QWidget* form, TFocusStop stop) : QAbstractButton(form), stop_(stop) {
    setAttribute(Qt::WA_TransparentForMouseEvents); // the form routes the pointer itself
    setAttribute(Qt::WA_NoSystemBackground);
    // The model keeps the focus order; Qt's own Tab chain never lands here.
    setFocusPolicy(Qt::NoFocus);
}

void TQtFocusStop::SetItem(const TAccessibleItem& item) {
    const QString name = ToDisplayText(item.Name);
    if (accessibleName() != name)
        setAccessibleName(name);
    const QString description = ToDisplayText(item.Description);
    if (accessibleDescription() != description)
        setAccessibleDescription(description);
    setText(name);
    setGeometry(ToQRect(item.Bounds));
}

void TQtFocusStop::paintEvent(QPaintEvent*) {
    // Nothing: the form shows the part and its focus.
}

} // namespace pc
