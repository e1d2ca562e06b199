#pragma once

#include <QObject>
#include <chrono>

// Wakes the event loop at a deadline finer than Qt's timers can: they count whole
// milliseconds (and on Windows the default tick is 15.6 ms), while a character time of the
// line is 1.04 ms. Linux uses a timerfd on the monotonic clock, Windows a high-resolution
// waitable timer, or where there is none an ordinary one with the system's timer resolution
// raised while rests are being armed; the build compiles one of the two.
class PreciseAlarm : public QObject {
    Q_OBJECT
public:
    explicit PreciseAlarm(QObject* parent = nullptr);
    ~PreciseAlarm() override;

    // False when the system gave no such timer; callers fall back to Qt's precise timer.
    bool isValid() const;

    // Replaces any earlier deadline. The wake-up is an event, so a loop waiting for more
    // events returns then. Arming again for the deadline already set, before it has passed,
    // costs nothing.
    void armAt(std::chrono::steady_clock::time_point deadline);

    // For tests only: alarms made while this is set do without the high-resolution timer,
    // as on Windows before 10 1803, so that the fallback can be measured on any system.
    // Linux has one kind of timer and ignores it.
    static void refuseHighResolutionForTests(bool refuse) { s_refuseHighResolution = refuse; }

private:
    // Whether the timer needs setting for this deadline; notes it as set.
    bool takeNewDeadline(std::chrono::steady_clock::time_point deadline)
    {
        if (m_armed && m_armedFor == deadline)
            return false;
        m_armed = true;
        m_armedFor = deadline;
        return true;
    }
    void fired() { m_armed = false; }

    struct Handle;
    Handle* m_handle { nullptr };
    std::chrono::steady_clock::time_point m_armedFor {};
    bool m_armed { false };
    static inline bool s_refuseHighResolution { false };
};
