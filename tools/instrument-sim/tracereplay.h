#pragma once

#include "instrumentline.h"
#include "replayplan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Plays a ReplayPlan on the line against a receiver and compares its answers with the trace's:
// for each record whether the header was answered, whether the body was, how many discards the
// receiver made (each open discards, and so does each record's end), and with a result file,
// whether the file holds what the trace wrote. ACK counts are shown side by side but differ
// only when one side has none: the receiver answers every poll, and how many polls a body
// takes depends on the machine. Discards differ when the receiver made more, or none where
// the trace shows some: fewer but some may be two that reached us as one. A wait the trace shows
// that never ends (no ACK, no reopened port) is a difference too, and ends the replay.
class TraceReplay {
public:
    using Clock = InstrumentLine::Clock;

    struct Settings {
        // 2 plays twice as fast as the desk's line went.
        double speed { 1.0 };
        // Read after every record; empty for none.
        QString resultFile;
        int timeoutS { 30 };
    };

    // `say` gets each report line as soon as it is known.
    TraceReplay(const ReplayPlan& plan, InstrumentLine& line, const Settings& settings,
        std::function<void(const QString&)> say);

    // False when the line failed or a stop signal came; differences() says the rest.
    bool run();

    int differences() const { return m_differences; }

private:
    enum class Wait { Done, Expired, Ended };

    // After this long without an ACK or a discard the receiver has settled: longer than the
    // 0.75 s after which it gives a silent body up, which is the last thing it may still do.
    static constexpr std::chrono::milliseconds settleTime { 1500 };
    // Two discards that follow each other closely reach us as one (the line reports a discard
    // as a flag, not a count). With fewer than the trace shows but some, this long without
    // another one means no more are coming.
    static constexpr std::chrono::milliseconds mergedDiscardsAfter { 1000 };

    Wait waitFor(const std::function<bool()>& done, Clock::time_point until);
    // Until `wanted` discards since the last write, or, where they may have merged, fewer but
    // some and no more for a while.
    Wait waitForDiscards(int wanted, bool mayMerge = true);
    bool playStep(int index);
    void closeRecord(int recordIndex);
    std::optional<QByteArray> readResult() const;
    void differ(const QString& what);

    const ReplayPlan& m_plan;
    InstrumentLine& m_line;
    Settings m_settings;
    std::function<void(const QString&)> m_say;
    int m_differences { 0 };

    Clock::time_point m_deadline {};
    Clock::time_point m_lastSend { Clock::now() };
    qint64 m_acksAtSend { 0 };
    qint64 m_discardsAtSend { 0 };
    // The record whose answers are being counted, and where its count started.
    int m_openRecord { -1 };
    qint64 m_windowAcks { 0 };
    qint64 m_windowDiscards { 0 };
    qint64 m_otherAtStart { 0 };
    // What the result file should hold: its content before the replay, then each written line.
    std::optional<QByteArray> m_expectedResult;
};
