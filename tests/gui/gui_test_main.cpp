#include "framework/gui/application.h"
#include "framework/gui/message_form.h"
#include "gui_support.h"

#include <QApplication>
#include <QMessageBox>
#include <gtest/gtest.h>

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
    QTest::keyClick(modal, Qt::Key_Return);
    last_ = nullptr;
}

QPoint Centre(const TGraphicControl& control) {
    return control.BoundsRect().center();
}

void MoveTo(TForm_Main& form, QPoint point) {
    QTest::mouseMove(form.windowHandle(), point);
}

void ClickAt(TForm_Main& form, QPoint point) {
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, point);
}

} // namespace pc::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1"); // the web engine's sandbox refuses to run as root
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    pc::InstallFontSubstitutes();
    return RUN_ALL_TESTS();
}
