#include "precisealarm.h"

#include <QAbstractEventDispatcher>
#include <QTimer>

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
    PreciseAlarm* alarm { nullptr };
    // Without a high-resolution timer the system's timer resolution is borrowed instead.
    QTimer* periodRelease { nullptr };
    bool periodRaised { false };
    bool armedSinceCheck { false };

    static void CALLBACK completed(void* handle, DWORD, DWORD);
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
    m_handle = new Handle { timer, this, periodRelease };
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
    CancelWaitableTimer(m_handle->timer);
    // A completion already queued would run after this alarm is gone; let it run now. The
    // alarm lives and dies on the thread that sets it, the only one its completions run on.
    SleepEx(0, TRUE);
    delete m_handle->periodRelease;
    if (m_handle->periodRaised)
        timeEndPeriod(finestPeriodMs);
    CloseHandle(m_handle->timer);
    delete m_handle;
}

// Runs on the thread that set the timer, inside its alertable wait for events: the event
// dispatcher waits alertably, so the deadline wakes that thread alone, and directly. A
// notifier on the timer would instead wake a pool thread that then wakes this one: two
// wake-ups for each rest. The completion itself does not end the dispatcher's wait; the
// wake-up it posts does.
void CALLBACK PreciseAlarm::Handle::completed(void* handle, DWORD, DWORD)
{
    PreciseAlarm* alarm = static_cast<Handle*>(handle)->alarm;
    alarm->fired();
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(alarm->thread()))
        dispatcher->wakeUp();
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
    SetWaitableTimer(m_handle->timer, &due, 0, &Handle::completed, m_handle, FALSE);
}
