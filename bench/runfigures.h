#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

// What one run of the program yielded. Processor use is a fraction of one core.
struct RunFigures {
    double startupMs { 0 };
    double headerWaitCore { 0 };
    double streamingCore { 0 };
    double streamingSeconds { 0 };
    // Summed over the run's bodies, each from its first byte written to its last.
    qint64 bodyAcks { 0 };
    double bodySeconds { 0 };
    qint64 bodyIntervals { 0 };
    double busiestBodyAckRate { 0 };
    // The scheduler's account of the process's threads over the bodies alone, each from its
    // first byte to just before its last, so none of a record's own work after it is in.
    qint64 bodyCpuNs { 0 };
    double bodyCpuSeconds { 0 };
    // The windows from each body's 20th byte to just before its last: the polls answered in
    // them (ACKs on the wire), the threads' voluntary switches, and what perf counted.
    qint64 windowPolls { 0 };
    qint64 windowWakeups { 0 };
    std::optional<qint64> windowSystemCalls;
    std::optional<qint64> windowContextSwitches;
    // Why perf counted nothing, when it did not.
    QString systemCallsMissing;
    // Gaps between consecutive body ACKs as the trace of a traced run notes them.
    QList<double> bodyAckGapsMs;
    QList<double> latenciesMs;
    qint64 peakResidentKiB { 0 };
    int headerResends { 0 };
    int reopenMisses { 0 };
    // Anything but silence while the program waits for a header would spoil that sample.
    qint64 headerWaitTraffic { 0 };
};
