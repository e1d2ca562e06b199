#include "precisealarm.h"

#include <QWinEventNotifier>

#include <algorithm>

#include <qt_windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

struct PreciseAlarm::Handle {
    HANDLE timer { nullptr };
    QWinEventNotifier* notifier { nullptr };
};

PreciseAlarm::PreciseAlarm(QObject* parent)
    : QObject(parent)
{
    // A high-resolution timer fires within a fraction of a millisecond instead of on the next
    // 15.6 ms tick. Systems before Windows 10 1803 refuse the flag; an ordinary waitable timer
    // still beats Qt's millisecond timers there, with timeBeginPeriod left to whoever needs it.
    HANDLE timer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer)
        timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (!timer)
        return;
    m_handle = new Handle { timer, new QWinEventNotifier(timer, this) };
    // The notifier's wait takes the signal of the auto-reset timer; its event is the wake-up.
    connect(m_handle->notifier, &QWinEventNotifier::activated, this, [] {});
}

PreciseAlarm::~PreciseAlarm()
{
    if (!m_handle)
        return;
    delete m_handle->notifier;
    CancelWaitableTimer(m_handle->timer);
    CloseHandle(m_handle->timer);
    delete m_handle;
}

bool PreciseAlarm::isValid() const { return m_handle != nullptr; }

void PreciseAlarm::armAt(std::chrono::steady_clock::time_point deadline)
{
    if (!m_handle)
        return;
    // Waitable timers take an absolute time on the wall clock or a relative one; steady_clock
    // is neither, so the rest is given relative, in 100 ns units, negative by convention.
    const auto rest = deadline - std::chrono::steady_clock::now();
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(rest).count() / 100;
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>(ticks, 1);
    SetWaitableTimer(m_handle->timer, &due, 0, nullptr, nullptr, FALSE);
}
