#pragma once

#include "serialcontrol.h"

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

class PreciseAlarm;
class QTimer;
class WorkStack;

// The one place that lets the window's event queue run from inside a long handler. The
// capture loop and the break sequence poll the line; a poll that spun without rest would
// keep a core busy for as long as the program waits for a patient. So each kind of wait
// rests in its own way, while every poll still happens:
//
//   Once           handle what is pending, return at once;
//   UntilEvent     handle what is pending; when nothing was, sleep until the next event
//                  (serial data, a click, a paint) arrives;
//   CharacterTime  handle what is pending while resting one character time of the line,
//                  counted from the call: the caller's poll before it, its answer included,
//                  is done by then, so no two answers come closer than the line carries
//                  characters, however late one of the polls ran.
//
// Handlers that run inside a yield may yield again; the nesting is what keeps the window live.
//
// The capture loop runs through run() and waits with yieldWork(): where the system offers a
// stack of its own for it (WorkStack), such a wait returns to run(), which handles the events
// and resumes the loop when its pace is due. A loop the system runs meanwhile (the window dragged,
// its menu open) then holds the window's stack only: a timer inside it resumes the capture loop at
// every tick, and the line is polled and answered for as long as the operator holds it.
class EventPump : public QObject {
    Q_OBJECT
public:
    enum class Pace { Once, UntilEvent, CharacterTime };

    static constexpr std::chrono::nanoseconds characterTime = SerialControl::characterTime;

    explicit EventPump(QObject* parent = nullptr);
    ~EventPump() override;

    // Returns when `work` has ended. The work waits with yieldWork(), which returns here.
    void run(const std::function<void()>& work);
    void yieldWork(Pace pace);

    // A handler's wait: a nested turn of the event loop, wherever the handler runs.
    void yield(Pace pace);

    // For measuring what the rest saves: every yield returns as soon as the queue is empty.
    void setPaced(bool paced) { m_paced = paced; }

private:
    using Clock = std::chrono::steady_clock;
    struct Request {
        Pace pace { Pace::Once };
        Clock::time_point deadline {};
    };

    void restUntil(Clock::time_point deadline);
    void armRest(Clock::time_point deadline);
    void serve();
    bool isDue() const;
    void tick();

    PreciseAlarm* m_alarm { nullptr };
    std::unique_ptr<WorkStack> m_work;
    QTimer* m_tick { nullptr };
    Request m_request;
    // Handlers' waits under way on the window's stack: the work is not resumed from under them.
    int m_nestedYields { 0 };
    bool m_paced { true };
};
