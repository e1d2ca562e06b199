#pragma once

#include <QtGlobal>
#include <optional>

// What the kernel accounts to a running process, read from /proc.
class ProcSample {
public:
    // utime + stime of the whole process (every thread), in seconds; the kernel counts it in
    // clock ticks.
    static std::optional<double> cpuSeconds(qint64 pid);
    // One clock tick, the resolution of cpuSeconds().
    static double tickSeconds();
    // The time the scheduler has run the process's threads, in nanoseconds: the first field of
    // each /proc/<pid>/task/<tid>/schedstat, summed. Unlike cpuSeconds() it is exact, so a
    // body of 190 ms can be measured by itself. A thread that ended takes its share along.
    static std::optional<qint64> cpuNanoseconds(qint64 pid);
    // Voluntary context switches of the process's threads, summed: each is a thread going to
    // sleep, so each later wake-up is one of these.
    static std::optional<qint64> voluntarySwitches(qint64 pid);
    // The process's state letter (stat(5)): 'S' while it sleeps in a wait, 'R' while it runs or
    // waits for a core.
    static std::optional<char> state(qint64 pid);
    // VmHWM, the peak resident set, in KiB.
    static std::optional<qint64> peakResidentKiB(qint64 pid);
};
