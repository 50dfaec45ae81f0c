#include "window/qt/dialog_provider.h"

#include "window/qt/application.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <utility>
#include <vector>

namespace pc {

namespace {

const QString kConfirmCaption = QStringLiteral("Confirm");

// A confirmation-style question with the given buttons; returns the answer of the button pressed. Esc and
// closing the box press `onClose`, the button whose answer means what closing means.
TZADialogAnswer Ask(const std::string& text, const std::vector<std::pair<QString, TZADialogAnswer>>& buttons,
                    TZADialogAnswer onClose) {
    QMessageBox box(QMessageBox::Question, kConfirmCaption, QString::fromStdString(text));
    box.setTextFormat(Qt::PlainText);
    std::vector<std::pair<QAbstractButton*, TZADialogAnswer>> answers;
    for (const auto& [caption, answer] : buttons)
        answers.emplace_back(box.addButton(caption, QMessageBox::ActionRole), answer);
    box.setDefaultButton(static_cast<QPushButton*>(answers.front().first));
    for (const auto& [button, answer] : answers)
        if (answer == onClose)
            box.setEscapeButton(button);
    box.exec();
    for (const auto& [button, answer] : answers)
        if (box.clickedButton() == button)
            return answer;
    return daClosed;
}

} // namespace

TZADialogAnswer TQtDialogProvider::ShowFailureDialog(const std::string& text, TZAFailureButtons buttons) {
    if (buttons == fbAbortIgnore)
        return Ask(text, {{QStringLiteral("&Abort"), daAbort}, {QStringLiteral("&Ignore"), daIgnore}},
                   daAbort);
    return Ask(text,
               {{QStringLiteral("&Abort"), daAbort},
                {QStringLiteral("&Retry"), daRetry},
                {QStringLiteral("&Ignore"), daIgnore}},
               daAbort);
}

TZADialogAnswer TQtDialogProvider::ShowOverwriteDialog(const std::string& text) {
    return Ask(text,
               {{QStringLiteral("&Yes"), daYes},
                {QStringLiteral("&No"), daNo},
                {QStringLiteral("N&o to All"), daNoToAll},
                {QStringLiteral("Yes to &All"), daYesToAll}},
               daNo);
}

std::optional<std::string> TQtDialogProvider::ShowPasswordDialog(const std::string& caption,
                                                                 const std::string& prompt,
                                                                 const std::string& initial) {
    QInputDialog dialog;
    dialog.setWindowTitle(QString::fromStdString(caption));
    dialog.setLabelText(QString::fromStdString(prompt));
    dialog.setTextValue(QString::fromStdString(initial));
    dialog.setTextEchoMode(QLineEdit::Password);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return FromDisplayText(dialog.textValue());
}

} // namespace pc
