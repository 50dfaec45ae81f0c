// The notice dialog, the error box and the quit request as the loops see it.
#include "framework/exceptions.h"
#include "gui_support.h"
#include "window/qt/message_form.h"

#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace pc::test {
namespace {

class Dialogs : public GuiTest {};

// Runs `show` while a watcher looks at the dialog it opens; returns what the inspector saw.
template <class Show, class Inspect> void WithDialog(Show&& show, Inspect&& inspect) {
    bool inspected = false;
    ModalWatcher watcher(nullptr, [&](QWidget* dialog) {
        inspect(dialog);
        inspected = true;
    });
    show();
    EXPECT_TRUE(inspected);
}

TEST_F(Dialogs, TheNoticeIsLaidOutInDialogUnitsOfItsFont) {
    SetApplicationTitle("Valhalla");
    for (const QString& text :
         {QString("Essential file missing: Config.ini"), QString("x"),
          QString("Client not found [/opt/game/game.exe]\tand more words to wrap ").repeated(12)}) {
        WithDialog([&] { ShowMessageBox(FromDisplayText(text)); },
                   [&](QWidget* dialog) {
                       auto* form = dynamic_cast<TMessageForm*>(dialog);
                       ASSERT_NE(form, nullptr);
                       EXPECT_EQ(form->windowTitle(), "Valhalla");
                       const QFontMetrics fm(form->font());
                       const int average =
                           fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52;
                       const double hu = average / 4.0, vu = fm.height() / 8.0;
                       const QRect textRect = form->TextRect();
                       const QRect button = form->Button()->geometry();
                       EXPECT_EQ(form->Button()->text(), "OK");
                       EXPECT_TRUE(form->Button()->isDefault());
                       EXPECT_NEAR(textRect.left(), 8 * hu, 1.0);
                       EXPECT_NEAR(textRect.top(), 8 * vu, 1.0);
                       EXPECT_NEAR(button.top() - (textRect.bottom() + 1), 10 * vu, 1.0);
                       EXPECT_NEAR(button.height(), 14 * vu, 1.0);
                       EXPECT_NEAR(button.width(), std::max(50 * hu, fm.horizontalAdvance("OK") + 8.0), 1.0);
                       EXPECT_NEAR(form->height() - (button.bottom() + 1), 8 * vu, 1.0);
                       EXPECT_NEAR(form->width(), std::max(textRect.width(), button.width()) + 16 * hu, 2.0);
                       EXPECT_NEAR(button.x() + button.width() / 2.0, form->width() / 2.0, 1.0)
                           << "the button is centred";
                       EXPECT_LE(textRect.width(), QGuiApplication::primaryScreen()->geometry().width() / 2);
                       EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "a fixed frame";
                       const QRect screen = QGuiApplication::primaryScreen()->geometry();
                       EXPECT_NEAR(form->geometry().center().x(), screen.center().x(), 2.0);
                   });
    }
}

TEST_F(Dialogs, CtrlCCopiesTheNoticeAsATextBlock) {
    SetApplicationTitle("Valhalla");
    WithDialog([&] { ShowMessageBox("Client not found [C:\\game.exe]"); },
               [&](QWidget* dialog) {
                   QTest::keyClick(dialog, Qt::Key_C, Qt::ControlModifier);
                   const QString rule(27, '-');
                   EXPECT_EQ(QGuiApplication::clipboard()->text(),
                             rule + "\r\nValhalla\r\n" + rule + "\r\nClient not found [C:\\game.exe]\r\n" +
                                 rule + "\r\nOK   \r\n" + rule + "\r\n");
                   EXPECT_TRUE(dialog->isVisible()) << "copying does not close the notice";
               });
}

TEST_F(Dialogs, EscapeAndCloseEndTheNoticeToo) {
    for (auto close : {std::function<void(QWidget*)>([](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); }),
                       std::function<void(QWidget*)>([](QWidget* d) { d->close(); })}) {
        bool closedByUs = false;
        ModalWatcher watcher(nullptr, [&](QWidget* d) {
            close(d);
            closedByUs = !d->isVisible();
        });
        ShowMessageBox("Bye");
        EXPECT_TRUE(closedByUs);
    }
}

TEST_F(Dialogs, OnceTheApplicationIsEndingTheNoticeGoesAfterItsNextEvent) {
    TerminateApplication();
    PumpMessages();
    ASSERT_TRUE(ApplicationTerminated()) << "the pump takes the quit request";
    bool forcedShut = false;
    QTimer::singleShot(3000, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            forcedShut = true;
            modal->close();
        }
    });
    ShowMessageBox("This notice closes by itself");
    EXPECT_FALSE(forcedShut);
}

TEST_F(Dialogs, TheTitleStartsAsTheProgramNameUpToItsFirstDot) {
    // The test program is window_gui_tests; its first character stays, the rest is lower case anyway.
    EXPECT_EQ(GetApplicationTitle(), "window_gui_tests");
    SetApplicationTitle(std::string(300, 'x'));
    EXPECT_EQ(GetApplicationTitle(), std::string(255, 'x'));
}

TEST_F(Dialogs, TerminateReturnsAtOnceAndOnlyALoopMarksTheEnd) {
    TerminateApplication();
    EXPECT_FALSE(ApplicationTerminated()) << "statements after the request still run";
    PumpMessages();
    EXPECT_TRUE(ApplicationTerminated());
}

TEST_F(Dialogs, TheErrorBoxAddsAPeriodOnlyAfterBytesAbovePeriod) {
    SetApplicationTitle("Valhalla");
    struct Case {
        std::string message;
        QString shown;
    };
    const Case cases[] = {
        {"Disk full", "Disk full."},
        {"List index out of bounds (7)", "List index out of bounds (7)"},
        {"Invalid data type for ''", "Invalid data type for ''"},
        {"I/O error 112", "I/O error 112."},
        {"Ends with a blank ", "Ends with a blank "},
        {"Already.", "Already."},
        {"Slash/", "Slash/."},
        {"", ""},
    };
    for (const Case& c : cases) {
        WithDialog([&] { ReportError(Exception(c.message)); },
                   [&](QWidget* dialog) {
                       auto* box = qobject_cast<QMessageBox*>(dialog);
                       ASSERT_NE(box, nullptr);
                       EXPECT_EQ(box->text(), c.shown) << c.message;
                       EXPECT_EQ(box->windowTitle(), "Valhalla");
                       EXPECT_EQ(box->icon(), QMessageBox::Critical);
                       EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
                   });
    }
}

TEST_F(Dialogs, AnAbortIsReportedSilently) {
    ModalWatcher watcher;
    ReportError(EAbort());
    QTest::qWait(60);
    EXPECT_TRUE(watcher.Seen().empty());
}

TEST_F(Dialogs, AReportCancelsAPressThatWasHeld) {
    FakeCore core;
    TQtForm form(core.Core(), TextNews());
    TForm_Main& model = form.Model();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    MoveTo(form, Centre(*model.Image_Forum));
    Press(form, Centre(*model.Image_Forum_Over));
    {
        ModalWatcher watcher;
        ReportError(Exception("Stream write error"));
        EXPECT_EQ(watcher.Seen().size(), 1u);
    }
    // The press was cancelled: its release is no click, and moves are routed normally again.
    Release(form, Centre(*model.Image_Forum_Over));
    EXPECT_TRUE(core.OpenedLinks.empty());
    MoveTo(form, QPoint(330, 200));
    EXPECT_FALSE(model.Image_Forum_Over->Visible());
}

} // namespace
} // namespace pc::test
