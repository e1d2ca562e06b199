#include "eventpump.h"

#include "precisealarm.h"
#include "workstack.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

// How often a system loop's timer resumes the work. Windows fires window timers no finer than
// its tick (10 to 16 ms), which is what an ACK gap then comes to; asking for less only asks for
// the finest there is.
constexpr int systemLoopTickMs = 1;

}

EventPump::EventPump(QObject* parent)
    : QObject(parent)
    , m_alarm(new PreciseAlarm(this))
    , m_work(std::make_unique<WorkStack>())
{
    if (!m_work->isAvailable())
        return;
    m_tick = new QTimer(this);
    m_tick->setTimerType(Qt::PreciseTimer);
    m_tick->setInterval(systemLoopTickMs);
    connect(m_tick, &QTimer::timeout, this, &EventPump::tick);
    m_work->watchSystemLoops([this] {
        if (m_work->isBusy())
            m_tick->start();
    });
}

EventPump::~EventPump() = default;

void EventPump::run(const std::function<void()>& work)
{
    if (!m_work->isAvailable() || m_work->isBusy()) {
        work();
        return;
    }
    m_request = {};
    m_work->start(work);
    while (m_work->isBusy()) {
        serve();
        // A system loop runs inside a turn of the event loop; once the turn is over, so is it.
        m_tick->stop();
        if (m_work->isBusy() && isDue())
            m_work->resume();
    }
    m_tick->stop();
}

void EventPump::yieldWork(Pace pace)
{
    if (!m_work->isRunning()) {
        yield(pace);
        return;
    }
    m_request = { pace, Clock::now() + characterTime };
    m_work->suspend();
}

void EventPump::yield(Pace pace)
{
    const bool onWindowStack = !m_work->isRunning();
    m_nestedYields += onWindowStack;
    if (!m_paced || pace == Pace::Once)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    else if (pace == Pace::UntilEvent)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    else
        // The rest handles what is pending as it begins.
        restUntil(Clock::now() + characterTime);
    m_nestedYields -= onWindowStack;
}

void EventPump::restUntil(Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
        armRest(deadline);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void EventPump::armRest(Clock::time_point deadline)
{
    // Handlers run during the rest may rest on this same alarm for their own deadlines, so
    // it is armed again for ours after every wake-up; when it still holds ours, that is free.
    if (m_alarm->isValid())
        m_alarm->armAt(deadline);
    else
        QTimer::singleShot(1, Qt::PreciseTimer, this, [] {});
}

// One turn of the event loop for the work's pending yield.
void EventPump::serve()
{
    if (!m_paced || m_request.pace == Pace::Once) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    if (m_request.pace == Pace::CharacterTime) {
        // The rest handles what is pending as it begins, however late it begins.
        if (Clock::now() >= m_request.deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            return;
        }
        armRest(m_request.deadline);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool EventPump::isDue() const
{
    return !m_paced || m_request.pace != Pace::CharacterTime || Clock::now() >= m_request.deadline;
}

// Inside a system loop: the work polls once per tick. Not from inside the work itself (a box
// it shows), nor from under a handler's own wait (the break holding the line), which the work
// would not have run under either.
void EventPump::tick()
{
    if (!m_work->isBusy() || m_work->isRunning() || m_nestedYields > 0 || !isDue())
        return;
    m_work->resume();
}
