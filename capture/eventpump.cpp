#include "eventpump.h"

#include "precisealarm.h"

#include <QCoreApplication>
#include <QTimer>

using Clock = std::chrono::steady_clock;

EventPump::EventPump(QObject* parent)
    : QObject(parent)
    , m_alarm(new PreciseAlarm(this))
{
}

EventPump::~EventPump() = default;

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
    // The rest handles what is pending as it begins.
    restUntil(Clock::now() + characterTime);
}

void EventPump::restUntil(Clock::time_point deadline)
{
    // Handlers run during the rest may rest on this same alarm for their own deadlines, so
    // it is armed again for ours after every wake-up; when it still holds ours, that is free.
    while (Clock::now() < deadline) {
        if (m_alarm->isValid())
            m_alarm->armAt(deadline);
        else
            QTimer::singleShot(1, Qt::PreciseTimer, this, [] {});
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}
