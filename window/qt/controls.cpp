#include "window/qt/controls.h"

#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cstdint>

namespace pc {

TProgressBarView::TProgressBarView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is painted
}

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

    const QRect inner = frame.adjusted(kProgressFrame, kProgressFrame, -kProgressFrame, -kProgressFrame);
    const TProgressBlocks blocks = ProgressBlocksOf(state_, {inner.width(), inner.height()});
    const QColor block(96, 200, 96);
    for (int i = 0; i < blocks.Count; ++i) {
        const int x = i * blocks.Pitch;
        painter.fillRect(
            QRect(inner.left() + x, inner.top(), std::min(blocks.Width, inner.width() - x), inner.height()),
            block);
    }
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
    ShowLastLine();
}

void TLogMemo::ShowLastLine() {
    // The caret goes to the end of the last line, not onto the empty one after its line break, and the
    // view moves only as far as it must: the first lines stay while everything fits. (The scroll bar's
    // maximum counts paragraphs, not the lines that wrapping makes, and would scroll too far.)
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::PreviousCharacter);
    setTextCursor(cursor);
    ensureCursorVisible();
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
    ShowLastLine();
}

} // namespace pc
