// The window's child controls and timers: the progress bar, the log memo, the timer component.
#pragma once

#include <QBasicTimer>
#include <QObject>
#include <QPlainTextEdit>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

namespace pc {

// A horizontal bar filled from the left in separate blocks, with a 32-bit range whose minimum is kept.
// A control built for a 16-bit range rejects values outside 0 to 65535 the way such controls do.
class TProgressBar : public QWidget {
public:
    explicit TProgressBar(QWidget* parent, bool sixteenBitRange = false);

    std::int32_t Min() const { return min_; }
    std::int32_t Max() const { return max_; }
    std::int32_t Position() const { return position_; }

    void SetMax(std::int32_t maximum);       // below the minimum: EInvalidOperation, nothing changes
    void SetPosition(std::int32_t position); // kept within the range
    void StepBy(std::int32_t delta);         // stops at the maximum

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void CheckSixteenBit(std::int64_t value) const;
    std::int32_t min_ = 0;
    std::int32_t max_ = 100;
    std::int32_t position_ = 0;
    bool sixteenBit_;
};

// The log: read-only, frameless, no scroll bars, word wrap; appending keeps its end in view.
class TLogMemo : public QPlainTextEdit {
public:
    explicit TLogMemo(QWidget* parent);
    void AppendLine(const QString& line);
};

// A timer component: interval, enabled state and an integer tag. Enabling restarts it; ticks arrive
// through the event loop and are handled inside the error boundary.
class TTimer : public QObject {
public:
    explicit TTimer(int intervalMs);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled); // EOutOfResources when the system has no timer left
    int Interval() const { return interval_; }
    int Tag = 0;
    std::function<void()> OnTimer;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    int interval_;
    int timerId_ = 0;
    bool enabled_ = false;
};

} // namespace pc
