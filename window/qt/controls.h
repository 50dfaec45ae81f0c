// The window's child widgets on Qt: the progress bar's view and the log memo.
#pragma once

#include "window/form_host.h"

#include <QPlainTextEdit>
#include <QWidget>

namespace pc {

// A horizontal bar filled from the left in separate blocks. It shows the state the window model keeps.
class TProgressBarView : public QWidget {
public:
    explicit TProgressBarView(QWidget* parent);
    const TProgressState& State() const { return state_; }
    void SetState(const TProgressState& state);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TProgressState state_;
};

// The log: read-only, frameless, no scroll bars, word wrap; appending keeps its end in view.
class TLogMemo : public QPlainTextEdit {
public:
    explicit TLogMemo(QWidget* parent);
    void AppendLine(const QString& line);
    // Writes over the last line (the one before the final line break); appends when there is none.
    void ReplaceLastLine(const QString& line);

private:
    void ShowLastLine();
};

} // namespace pc
