#include "eventpump.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

using Clock = std::chrono::steady_clock;

EventPump::EventPump(QObject* parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    // Qt's timers count whole milliseconds; a character time is 1.04 ms. A timerfd on the
    // monotonic clock wakes the event loop at the exact deadline.
    m_alarmFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_alarmFd >= 0) {
        m_alarm = new QSocketNotifier(m_alarmFd, QSocketNotifier::Read, this);
        connect(m_alarm, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            [[maybe_unused]] const auto n = ::read(m_alarmFd, &expirations, sizeof expirations);
        });
    }
#endif
}

EventPump::~EventPump()
{
#ifdef Q_OS_LINUX
    delete m_alarm;
    if (m_alarmFd >= 0)
        ::close(m_alarmFd);
#endif
}

void EventPump::yield(Pace pace)
{
    if (!m_paced || pace == Pace::Once) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    if (pace == Pace::UntilEvent) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        return;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    restUntil(m_lastPacedPoll + characterTime);
    m_lastPacedPoll = Clock::now();
}

void EventPump::restUntil(Clock::time_point deadline)
{
    // Handlers run during the rest may rest on this same alarm for their own deadlines, so
    // it is armed again for ours after every wake-up.
    while (Clock::now() < deadline) {
#ifdef Q_OS_LINUX
        if (m_alarmFd >= 0) {
            const auto ns
                = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch())
                      .count();
            itimerspec spec {};
            spec.it_value.tv_sec = time_t(ns / 1'000'000'000);
            spec.it_value.tv_nsec = long(ns % 1'000'000'000);
            timerfd_settime(m_alarmFd, TFD_TIMER_ABSTIME, &spec, nullptr);
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            continue;
        }
#endif
        QTimer::singleShot(1, Qt::PreciseTimer, this, [] {});
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}
