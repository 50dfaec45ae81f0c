#include "window/qt/focus_stops.h"

#include "window/qt/application.h"
#include "window/qt/drawing.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include <memory>

namespace pc {
namespace {

// Qt's own button reads as unavailable only when the widget is disabled, and a disabled widget cannot hold
// the focus; this one reads the part's availability and keeps the focus.
class TFocusStopAccessible final : public QAccessibleWidget {
public:
    explicit TFocusStopAccessible(TQtFocusStop* stop) : QAccessibleWidget(stop, QAccessible::Button) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.disabled = !Stop()->Available();
        return state;
    }
    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction())
            Stop()->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    TQtFocusStop* Stop() const { return static_cast<TQtFocusStop*>(widget()); }
};

QAccessibleInterface* FocusStopAccessible(const QString&, QObject* object) {
    auto* stop = dynamic_cast<TQtFocusStop*>(object);
    // Qt's accessibility cache owns what the factory makes.
    return stop != nullptr ? std::make_unique<TFocusStopAccessible>(stop).release() : nullptr;
}

} // namespace

TQtFocusStop::TQtFocusStop(QWidget* form, TFocusStop stop) : QAbstractButton(form), stop_(stop) {
    setAttribute(Qt::WA_TransparentForMouseEvents); // the form routes the pointer itself
    setAttribute(Qt::WA_NoSystemBackground);
    // The model keeps the focus order; Qt's own Tab chain never lands here.
    setFocusPolicy(Qt::NoFocus);
    static const bool factoryInstalled = (QAccessible::installFactory(FocusStopAccessible), true);
    (void)factoryInstalled;
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
    if (available_ != item.Enabled) {
        available_ = item.Enabled;
        QAccessible::State changed;
        changed.disabled = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

void TQtFocusStop::paintEvent(QPaintEvent*) {
    // Nothing: the form shows the part and its focus.
}

} // namespace pc
