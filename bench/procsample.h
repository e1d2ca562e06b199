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
    // VmHWM, the peak resident set, in KiB.
    static std::optional<qint64> peakResidentKiB(qint64 pid);
};
