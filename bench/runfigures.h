#pragma once

#include <QList>
#include <QtGlobal>

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
    QList<double> latenciesMs;
    qint64 peakResidentKiB { 0 };
    int headerResends { 0 };
    int reopenMisses { 0 };
    // Anything but silence while the program waits for a header would spoil that sample.
    qint64 headerWaitTraffic { 0 };
};
