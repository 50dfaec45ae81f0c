// The archive component's questions as the window asks them: which button gives which answer.
#include "gui_support.h"
#include "window/qt/dialog_provider.h"

#include <QAbstractButton>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace pc::test {
namespace {

class ArchiveDialogs : public GuiTest {
protected:
    // Presses the button captioned `caption` (accelerators removed), or Esc when it is empty.
    static std::function<void(QWidget*)> Press(const QString& caption, QStringList* seenButtons = nullptr) {
        return [caption, seenButtons](QWidget* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->icon(), QMessageBox::Question);
            EXPECT_EQ(box->windowTitle(), "Confirm");
            if (seenButtons)
                for (QAbstractButton* b : box->buttons())
                    seenButtons->append(QString(b->text()).remove('&'));
            if (caption.isEmpty()) {
                QTest::keyClick(dialog, Qt::Key_Escape);
                return;
            }
            for (QAbstractButton* b : box->buttons())
                if (QString(b->text()).remove('&') == caption) {
                    b->click();
                    return;
                }
            ADD_FAILURE() << "no button " << caption.toStdString();
        };
    }
    TQtDialogProvider dialogs;
};

TEST_F(ArchiveDialogs, EachButtonGivesItsAnswerAndEscapeMeansWhatClosingMeans) {
    struct Case {
        std::function<TZADialogAnswer(TQtDialogProvider&)> ask;
        QString press;
        TZADialogAnswer expected;
    };
    const auto failure = [](TQtDialogProvider& d) {
        return d.ShowFailureDialog("Cannot create file \"a\". File processing error, possibly disk is full",
                                   fbAbortRetryIgnore);
    };
    const auto failureNoRetry = [](TQtDialogProvider& d) {
        return d.ShowFailureDialog("Bad password", fbAbortIgnore);
    };
    const auto overwrite = [](TQtDialogProvider& d) {
        return d.ShowOverwriteDialog("Overwrite file \"/game/data/a.txt\" with \"a.txt\"");
    };
    const std::vector<Case> cases = {
        {failure, "Abort", daAbort},
        {failure, "Retry", daRetry},
        {failure, "Ignore", daIgnore},
        {failure, "", daAbort},
        {failureNoRetry, "Ignore", daIgnore},
        {failureNoRetry, "", daAbort},
        {overwrite, "Yes", daYes},
        {overwrite, "No", daNo},
        {overwrite, "No to All", daNoToAll},
        {overwrite, "Yes to All", daYesToAll},
        {overwrite, "", daNo},
    };
    for (const Case& c : cases) {
        ModalWatcher watcher(nullptr, Press(c.press));
        EXPECT_EQ(c.ask(dialogs), c.expected) << c.press.toStdString();
        EXPECT_EQ(watcher.Seen().size(), 1u);
    }

    QStringList buttons;
    {
        ModalWatcher watcher(nullptr, Press("Ignore", &buttons));
        failureNoRetry(dialogs);
    }
    EXPECT_EQ(buttons, (QStringList{"Abort", "Ignore"}));
}

TEST_F(ArchiveDialogs, ThePasswordInputReturnsTheTypedTextOrNothing) {
    for (bool accept : {true, false}) {
        ModalWatcher watcher(nullptr, [accept](QWidget* dialog) {
            auto* input = qobject_cast<QInputDialog*>(dialog);
            ASSERT_NE(input, nullptr);
            EXPECT_EQ(input->windowTitle(), "Password for \"data/secret.txt\"");
            EXPECT_EQ(input->labelText(), "Enter password: ");
            EXPECT_EQ(input->textValue(), "old");
            EXPECT_EQ(input->textEchoMode(), QLineEdit::Password);
            input->setTextValue("s3cr\xC3\xA9t");
            if (!accept)
                input->reject();
        });
        const auto answer =
            dialogs.ShowPasswordDialog("Password for \"data/secret.txt\"", "Enter password: ", "old");
        if (accept)
            EXPECT_EQ(answer, std::optional<std::string>("s3cr\xC3\xA9t"));
        else
            EXPECT_EQ(answer, std::nullopt);
    }
}

} // namespace
} // namespace pc::test
