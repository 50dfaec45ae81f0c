#include "window/qt/controls.h"

#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cstdint>

namespace pc {

void TProgressBarView::SetState(const TProgressState& state) {
    state_ = state;
    setVisible(state.Visible);
    update();
}

void TProgressBarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect();
    painter.fillRect(frame, QColor(32, 36, 44));
    painter.setPen(QColor(96, 104, 118));
    painter.drawRect(frame.adjusted(0, 0, -1, -1));

    const QRect inner = frame.adjusted(2, 2, -2, -2);
    const std::int64_t span = static_cast<std::int64_t>(state_.Max) - state_.Min;
    if (span <= 0 || inner.width() <= 0)
        return;
    const int filled =
        static_cast<int>((static_cast<std::int64_t>(state_.Position) - state_.Min) * inner.width() / span);
    // Separate blocks, as wide as two thirds of the bar's height, with a gap of two pixels.
    const int blockWidth = std::max(2, inner.height() * 2 / 3);
    const QColor block(96, 200, 96);
    for (int x = 0; x < filled; x += blockWidth + 2)
        painter.fillRect(
            QRect(inner.left() + x, inner.top(), std::min(blockWidth, filled - x), inner.height()), block);
}

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setFocusPolicy(Qt::ClickFocus); // the Tab key never moves into the log
    setTabChangesFocus(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    document()->setDocumentMargin(1);
}

void TLogMemo::AppendLine(const QString& line) {
    // The text always ends with a line break after its last line; the new line goes before nothing.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line + QLatin1Char('\n'));
    setTextCursor(cursor);
    ensureCursorVisible();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogMemo::ReplaceLastLine(const QString& line) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (!cursor.movePosition(QTextCursor::PreviousBlock)) {
        AppendLine(line);
        return;
    }
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(line);
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
    ensureCursorVisible();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

} // namespace pc
