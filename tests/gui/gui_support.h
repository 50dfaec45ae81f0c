// Shared pieces of the window tests: a fresh application object per test, a fake launcher core that
// records what the window asks of it, and a watcher that inspects and closes modal dialogs.
#pragma once

#include "launcher/ui_port.h"
#include "window/launcher_core.h"
#include "window/qt/application.h"
#include "window/qt/qt_form.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pc::test {

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { application_ = std::make_unique<TApplication>(); }
    void TearDown() override {
        // Let deferred deletions of this test's widgets happen before the next test starts.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        application_.reset();
    }

private:
    std::unique_ptr<TApplication> application_;
};

// A launcher core whose start-up arms the patch timer and whose other operations record their calls.
struct FakeCore {
    TLauncherValues Values{"Valhalla",
                           "http://127.0.0.1:1/patchlist.txt",
                           "http://127.0.0.1:1/site",
                           "http://127.0.0.1:1/cp",
                           "http://127.0.0.1:1/forum",
                           "http://127.0.0.1:1/news"};
    std::function<void(UiPort&)> Create = [](UiPort& ui) { ui.ArmPatchTimer(); };
    std::function<void(UiPort&, const std::string&)> Run = [](UiPort&, const std::string&) {};
    std::function<void(UiPort&)> Check = [](UiPort&) {};
    int RunCalls = 0;
    int CheckCalls = 0;
    int StartClicks = 0;
    std::vector<std::string> OpenedLinks;
    std::vector<std::string> Events; // the order of notable things
    std::function<void(const std::string&)> Link = [this](const std::string& url) {
        OpenedLinks.push_back(url);
    };

    TLauncherCore Core() {
        TLauncherCore core;
        core.FormCreate = [this](UiPort& ui) { Create(ui); };
        core.UpdateRun = [this](UiPort& ui, const std::string& url) {
            ++RunCalls;
            Events.push_back("run started");
            Run(ui, url);
            Events.push_back("run finished");
        };
        core.StartClient = [this](UiPort&) { ++StartClicks; };
        core.OpenLink = [this](UiPort&, const std::string& url) { Link(url); };
        core.Values = [this] { return Values; };
        core.CheckGameFiles = [this](UiPort& ui) {
            ++CheckCalls;
            Check(ui);
        };
        return core;
    }
};

// Once the context menu is up (its own loop runs), hands it to `act`, which must close it.
inline void WhenMenuUp(std::function<void(QMenu&)> act) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [act = std::move(act), poll]() {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->objectName() != "ContextMenu" || !menu->isVisible()) {
            QTimer::singleShot(20, *poll);
            return;
        }
        act(*menu);
        *poll = nullptr; // ends the cycle of the poll holding itself
    };
    QTimer::singleShot(20, *poll);
}
inline void RightClickAt(TQtForm& qt, QPoint at) {
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(at), QPointF(qt.mapToGlobal(at)), Qt::RightButton,
                          type == QEvent::MouseButtonPress ? Qt::RightButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&qt, &event);
    }
}

inline TFormOptions TextNews() {
    return TFormOptions{TNewsEngine::Text};
}

// What a modal dialog showed when the watcher found it.
struct SeenDialog {
    std::string ClassName;
    QString Caption;
    QString Text;
    bool MainWindowVisible = false;
};

// Polls for application-modal dialogs; lets `inspect` look at each one, then closes it with Enter.
class ModalWatcher {
public:
    explicit ModalWatcher(QWidget* mainWindow = nullptr, std::function<void(QWidget*)> inspect = {});
    ~ModalWatcher();
    const std::vector<SeenDialog>& Seen() const { return seen_; }

private:
    void Poll();
    QWidget* mainWindow_;
    std::function<void(QWidget*)> inspect_;
    QTimer timer_;
    std::vector<SeenDialog> seen_;
    QWidget* last_ = nullptr;
};

QPoint Centre(const TGraphicControl& control);
QRect BoxOf(const TGraphicControl& control);
// Pointer events at a point of the form.
void MoveTo(TQtForm& form, QPoint point, Qt::MouseButtons held = Qt::NoButton);
void Press(TQtForm& form, QPoint point);
void Release(TQtForm& form, QPoint point);
void ClickAt(TQtForm& form, QPoint point);
void DoubleClickAt(TQtForm& form, QPoint point);

} // namespace pc::test
