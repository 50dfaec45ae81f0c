#include "window/qt/message_form.h"

#include "framework/dialog_units.h"
#include "window/qt/application.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <memory>

namespace pc {

namespace {

const QString kButtonCaption = QStringLiteral("OK");

} // namespace

int MessageTextFlags() {
    return Qt::TextWordWrap | Qt::TextExpandTabs | Qt::TextShowMnemonic;
}

TMessageForm::TMessageForm(const QString& text, const QString& caption)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      text_(text) {
    setWindowTitle(caption);
    setFont(QApplication::font("QMessageBox"));
    const QFontMetrics fm(font());

    const int letterHeight = fm.height();
    const TMessageFormMetrics m = MessageFormMetrics(TDialogUnits{
        fm.horizontalAdvance(QLatin1String(kDialogUnitLetters)) / kDialogUnitLetterCount, letterHeight});
    const int hMargin = m.HMargin;
    const int vMargin = m.VMargin;
    const int vSpacing = m.VSpacing;
    const int buttonHeight = m.ButtonHeight;
    const int buttonWidth = std::max(
        m.ButtonWidth, fm.horizontalAdvance(QString(kButtonCaption).remove('&')) + kButtonCaptionPadding);

    const QScreen* screen = QGuiApplication::primaryScreen();
    const int maxTextWidth = std::max(1, screen ? screen->geometry().width() / 2 : 512);
    QRect bounds = fm.boundingRect(QRect(0, 0, maxTextWidth, 0), MessageTextFlags(), text_);
    if (text_.isEmpty())
        bounds = QRect(0, 0, 0, letterHeight);
    textRect_ = QRect(hMargin, vMargin, bounds.width(), bounds.height());

    const int clientWidth = std::max(textRect_.width(), buttonWidth) + 2 * hMargin;
    const int buttonTop = textRect_.bottom() + 1 + vSpacing;
    const int clientHeight = buttonTop + buttonHeight + vMargin;

    auto button = std::make_unique<QPushButton>(kButtonCaption, this);
    button_ = button.release();
    button_->setGeometry((clientWidth - buttonWidth) / 2, buttonTop, buttonWidth, buttonHeight);
    button_->setDefault(true);
    connect(button_, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(clientWidth, clientHeight);
    if (screen) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - clientWidth) / 2, area.y() + (area.height() - clientHeight) / 2);
    }
}

void TMessageForm::ShowModal() {
    bool finished = false;
    const auto connection = connect(this, &QDialog::finished, this, [&finished] { finished = true; });
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    activateWindow();
    while (!finished && isVisible()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (ApplicationTerminated())
            break; // the program is ending: the notice goes as if Esc had been pressed
    }
    disconnect(connection);
    hide();
}

QString TMessageForm::ClipboardText() const {
    const QString rule(27, QChar('-'));
    const QString crlf = QStringLiteral("\r\n");
    QString buttons = QString(kButtonCaption).remove('&') + QStringLiteral("   ");
    return rule + crlf + windowTitle() + crlf + rule + crlf + text_ + crlf + rule + crlf + buttons + crlf +
           rule + crlf;
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        QApplication::beep();
        QGuiApplication::clipboard()->setText(ClipboardText());
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMessageForm::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(textRect_, MessageTextFlags(), text_);
}

} // namespace pc
