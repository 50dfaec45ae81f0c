// The notice dialog: a message, one OK button, laid out in dialog units of the message font.
#pragma once

#include <QDialog>
#include <QRect>
#include <QString>

class QPushButton;

namespace pc {

class TMessageForm : public QDialog {
public:
    TMessageForm(const QString& text, const QString& caption);

    // Shows the dialog modally and returns when the user has closed it, or after the next event once the
    // application has been told to end.
    void ShowModal();

    QRect TextRect() const { return textRect_; }
    QPushButton* Button() const { return button_; }
    // The block that Ctrl+C puts on the clipboard.
    QString ClipboardText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QRect textRect_;
    QPushButton* button_ = nullptr; // owned by the dialog
};

// Flags the message is drawn with: word wrap, expanded tabs, '&' as accelerator prefix.
int MessageTextFlags();

} // namespace pc
