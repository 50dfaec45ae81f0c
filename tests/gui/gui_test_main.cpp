#include "gui_support.h"
#include "window/qt/application.h"
#include "window/qt/message_form.h"

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace pc::test {

ModalWatcher::ModalWatcher(QWidget* mainWindow, std::function<void(QWidget*)> inspect)
    : mainWindow_(mainWindow), inspect_(std::move(inspect)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(20);
}

ModalWatcher::~ModalWatcher() {
    timer_.stop();
}

void ModalWatcher::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == last_)
        return;
    last_ = modal;
    SeenDialog seen;
    seen.ClassName = modal->metaObject()->className();
    seen.Caption = modal->windowTitle();
    seen.MainWindowVisible = mainWindow_ && mainWindow_->isVisible();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        seen.ClassName = "QMessageBox";
        seen.Text = box->text();
    } else if (auto* form = dynamic_cast<TMessageForm*>(modal)) {
        seen.ClassName = "TMessageForm";
        seen.Text = form->ClipboardText();
    }
    seen_.push_back(seen);
    if (inspect_)
        inspect_(modal);
    // Enter presses the default button of either dialog.
    if (modal->isVisible())
        QTest::keyClick(modal, Qt::Key_Return);
    last_ = nullptr;
}

QRect BoxOf(const TGraphicControl& control) {
    const TRect box = control.BoundsRect();
    return QRect(box.Left, box.Top, box.Width, box.Height);
}

QPoint Centre(const TGraphicControl& control) {
    return BoxOf(control).center();
}

// Pointer events go straight to the form, as the window system layer delivers them to it: Qt drops a
// synthetic move to where it believes the pointer already is, which would make tests depend on each other.
void SendPointer(TQtForm& form, QEvent::Type type, QPoint point, Qt::MouseButton button,
                 Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(point), QPointF(form.mapToGlobal(point)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(&form, &event);
}

void MoveTo(TQtForm& form, QPoint point, Qt::MouseButtons held) {
    SendPointer(form, QEvent::MouseMove, point, Qt::NoButton, held);
}

void Press(TQtForm& form, QPoint point) {
    SendPointer(form, QEvent::MouseButtonPress, point, Qt::LeftButton, Qt::LeftButton);
}

void Release(TQtForm& form, QPoint point) {
    SendPointer(form, QEvent::MouseButtonRelease, point, Qt::LeftButton, Qt::NoButton);
}

void ClickAt(TQtForm& form, QPoint point) {
    Press(form, point);
    Release(form, point);
}

void DoubleClickAt(TQtForm& form, QPoint point) {
    // What the window system layer makes of two quick clicks: the second press arrives as a double click.
    ClickAt(form, point);
    SendPointer(form, QEvent::MouseButtonDblClick, point, Qt::LeftButton, Qt::LeftButton);
    Release(form, point);
}

} // namespace pc::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Windows hold their spot on the desktop in the runtime folder; one of this run's own keeps launchers
    // and tests running beside it from moving its windows.
    char runtime[] = "/tmp/pc-gui-runtime-XXXXXX";
    if (mkdtemp(runtime))
        setenv("XDG_RUNTIME_DIR", runtime, 1);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1"); // the web engine's sandbox refuses to run as root
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    pc::InstallFontSubstitutes();
    return RUN_ALL_TESTS();
}
