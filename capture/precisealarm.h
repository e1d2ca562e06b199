#pragma once

#include <QObject>
#include <chrono>

// Wakes the event loop at a deadline finer than Qt's timers can: they count whole
// milliseconds (and on Windows the default tick is 15.6 ms), while a character time of the
// line is 1.04 ms. Linux uses a timerfd on the monotonic clock, Windows a high-resolution
// waitable timer; the build compiles one of the two.
class PreciseAlarm : public QObject {
    Q_OBJECT
public:
    explicit PreciseAlarm(QObject* parent = nullptr);
    ~PreciseAlarm() override;

    // False when the system gave no such timer; callers fall back to Qt's precise timer.
    bool isValid() const;

    // Replaces any earlier deadline. The wake-up is an event, so a loop waiting for more
    // events returns then.
    void armAt(std::chrono::steady_clock::time_point deadline);

private:
    struct Handle;
    Handle* m_handle { nullptr };
};
