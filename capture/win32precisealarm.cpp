#include "precisealarm.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>
#include <utility>

#include <qt_windows.h>

#include <mmsystem.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// The finest resolution timeBeginPeriod offers; a character time is 1.04 ms.
constexpr UINT finestPeriodMs = 1;

// How long the raised resolution outlives the last rest. Paced polling arms a rest every
// character time, so a second without one means it has stopped (the header wait rests on
// events only). The check runs once a second and only while the resolution is raised, so a
// header wait costs nothing once it has been given back.
constexpr int periodReleaseMs = 1000;

}

struct PreciseAlarm::Handle {
    HANDLE timer { nullptr };
    QWinEventNotifier* notifier { nullptr };
    // Without a high-resolution timer the system's timer resolution is borrowed instead.
    QTimer* periodRelease { nullptr };
    bool periodRaised { false };
    bool armedSinceCheck { false };
};

PreciseAlarm::PreciseAlarm(QObject* parent)
    : QObject(parent)
{
    // A high-resolution timer fires within a fraction of a millisecond instead of on the next
    // 15.6 ms tick. Systems before Windows 10 1803 refuse the flag; an ordinary waitable timer
    // is then as fine as the system's timer resolution, which armAt raises while rests run.
    HANDLE timer = s_refuseHighResolution
        ? nullptr
        : CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    QTimer* periodRelease = nullptr;
    if (!timer) {
        timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        if (!timer)
            return;
        periodRelease = new QTimer(this);
        periodRelease->setInterval(periodReleaseMs);
        periodRelease->setTimerType(Qt::CoarseTimer);
    }
    m_handle = new Handle { timer, new QWinEventNotifier(timer, this), periodRelease };
    // The notifier's wait takes the signal of the auto-reset timer; its event is the wake-up.
    connect(m_handle->notifier, &QWinEventNotifier::activated, this, [this] { fired(); });
    if (periodRelease)
        connect(periodRelease, &QTimer::timeout, this, [this] {
            if (std::exchange(m_handle->armedSinceCheck, false))
                return;
            m_handle->periodRelease->stop();
            timeEndPeriod(finestPeriodMs);
            m_handle->periodRaised = false;
        });
}

PreciseAlarm::~PreciseAlarm()
{
    if (!m_handle)
        return;
    delete m_handle->notifier;
    delete m_handle->periodRelease;
    if (m_handle->periodRaised)
        timeEndPeriod(finestPeriodMs);
    CancelWaitableTimer(m_handle->timer);
    CloseHandle(m_handle->timer);
    delete m_handle;
}

bool PreciseAlarm::isValid() const { return m_handle != nullptr; }

void PreciseAlarm::armAt(std::chrono::steady_clock::time_point deadline)
{
    if (!m_handle || !takeNewDeadline(deadline))
        return;
    if (m_handle->periodRelease) {
        // The default 15.6 ms tick would stretch each rest of one character time fifteenfold.
        // The raised resolution costs the whole system power, so it is held only while rests
        // are being armed.
        m_handle->armedSinceCheck = true;
        if (!m_handle->periodRaised && timeBeginPeriod(finestPeriodMs) == TIMERR_NOERROR) {
            m_handle->periodRaised = true;
            m_handle->periodRelease->start();
        }
    }
    // Waitable timers take an absolute time on the wall clock or a relative one; steady_clock
    // is neither, so the rest is given relative, in 100 ns units, negative by convention.
    const auto rest = deadline - std::chrono::steady_clock::now();
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(rest).count() / 100;
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>(ticks, 1);
    SetWaitableTimer(m_handle->timer, &due, 0, nullptr, nullptr, FALSE);
}
