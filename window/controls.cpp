#include "window/controls.h"

#include "framework/exceptions.h"
#include "framework/gui/application.h"

#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimerEvent>

#include <algorithm>

namespace pc {

TProgressBar::TProgressBar(QWidget* parent, bool sixteenBitRange)
    : QWidget(parent), sixteenBit_(sixteenBitRange) {}

void TProgressBar::CheckSixteenBit(std::int64_t value) const {
    if (sixteenBit_ && (value < 0 || value > 65535))
        throw EInvalidOperation("Value must be between 0 and 65535");
}

void TProgressBar::SetMax(std::int32_t maximum) {
    CheckSixteenBit(maximum);
    if (maximum < min_)
        throw EInvalidOperation("TProgressBar property out of range");
    max_ = maximum;
    position_ = std::clamp(position_, min_, max_);
    update();
}

void TProgressBar::SetPosition(std::int32_t position) {
    CheckSixteenBit(position);
    position_ = std::clamp(position, min_, max_);
    update();
}

void TProgressBar::StepBy(std::int32_t delta) {
    const std::int64_t next = static_cast<std::int64_t>(position_) + delta;
    position_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(next, min_, max_));
    update();
}

void TProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect();
    painter.fillRect(frame, QColor(32, 36, 44));
    painter.setPen(QColor(96, 104, 118));
    painter.drawRect(frame.adjusted(0, 0, -1, -1));

    const QRect inner = frame.adjusted(2, 2, -2, -2);
    const std::int64_t span = static_cast<std::int64_t>(max_) - min_;
    if (span <= 0 || inner.width() <= 0)
        return;
    const int filled = static_cast<int>((static_cast<std::int64_t>(position_) - min_) * inner.width() / span);
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

TTimer::TTimer(int intervalMs) : interval_(intervalMs) {}

void TTimer::SetEnabled(bool enabled) {
    // Enabling first stops and then starts the system timer, so the interval begins anew.
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
    enabled_ = false;
    if (!enabled)
        return;
    timerId_ = startTimer(interval_, Qt::PreciseTimer);
    if (timerId_ == 0)
        throw EOutOfResources("Not enough timers available");
    enabled_ = true;
}

void TTimer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId_ || !enabled_)
        return;
    RunGuarded([this] {
        if (OnTimer)
            OnTimer();
    });
}

} // namespace pc
