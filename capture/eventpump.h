#pragma once

#include "serialcontrol.h"

#include <QObject>
#include <chrono>

class PreciseAlarm;

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
class EventPump : public QObject {
    Q_OBJECT
public:
    enum class Pace { Once, UntilEvent, CharacterTime };

    static constexpr std::chrono::nanoseconds characterTime = SerialControl::characterTime;

    explicit EventPump(QObject* parent = nullptr);
    ~EventPump() override;

    void yield(Pace pace);

    // For measuring what the rest saves: every yield returns as soon as the queue is empty.
    void setPaced(bool paced) { m_paced = paced; }

private:
    void restUntil(std::chrono::steady_clock::time_point deadline);

    PreciseAlarm* m_alarm { nullptr };
    bool m_paced { true };
};
