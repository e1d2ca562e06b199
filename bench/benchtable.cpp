#include "benchtable.h"

#include "procsample.h"

#include <QStringList>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>

namespace {

// Characters per second of 9600 baud with a start and a stop bit.
constexpr double lineRate = 960.0;
// Body bytes each record puts on the line: 178 characters, four of them double-byte.
constexpr int bodyBytes = 182;
constexpr double headerWaitLimit = 1.0;
constexpr double latencyLimitMs = 5.0;
constexpr double floorRatioLimit = 1.5;
constexpr double systemCallsPerPollLimit = 5;
constexpr double wakeupsPerPollLimit = 1;
// One character time at 9600 baud, and the allowance for reading the clock between a poll's
// write and its trace line.
constexpr double characterMs = 10'000.0 / 9600;
constexpr double gapToleranceMs = 0.02;
constexpr double notCounted = std::numeric_limits<double>::quiet_NaN();

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

QList<double> each(const QList<RunFigures>& runs, const std::function<double(const RunFigures&)>& f)
{
    QList<double> values;
    for (const RunFigures& run : runs)
        values << f(run);
    return values;
}

// The median over the runs that have the figure; not a number when none has.
double medianOfKnown(
    const QList<RunFigures>& runs, const std::function<std::optional<double>(const RunFigures&)>& f)
{
    QList<double> values;
    for (const RunFigures& run : runs) {
        if (const std::optional<double> value = f(run))
            values << *value;
    }
    return values.isEmpty() ? notCounted : median(values);
}

double bodyCore(const RunFigures& r) { return r.bodyCpuNs / 1e9 / r.bodyCpuSeconds; }

std::optional<double> systemCallsPerPoll(const RunFigures& r)
{
    if (!r.windowSystemCalls || r.windowPolls <= 0)
        return std::nullopt;
    return double(*r.windowSystemCalls) / r.windowPolls;
}

std::optional<double> wakeupsPerPoll(const RunFigures& r)
{
    if (r.windowPolls <= 0)
        return std::nullopt;
    return double(r.windowWakeups) / r.windowPolls;
}

std::optional<double> switchesPerPoll(const RunFigures& r)
{
    if (!r.windowContextSwitches || r.windowPolls <= 0)
        return std::nullopt;
    return double(*r.windowContextSwitches) / r.windowPolls;
}

QList<double> ackGaps(const QList<RunFigures>& runs)
{
    QList<double> all;
    for (const RunFigures& run : runs)
        all += run.bodyAckGapsMs;
    std::sort(all.begin(), all.end());
    return all;
}

// Nearest rank of a sorted list.
double percentile(const QList<double>& sorted, double share)
{
    if (sorted.isEmpty())
        return notCounted;
    const qsizetype rank = qsizetype(std::ceil(share * double(sorted.size())));
    return sorted.at(std::clamp<qsizetype>(rank - 1, 0, sorted.size() - 1));
}

QList<double> latencies(const QList<RunFigures>& runs)
{
    QList<double> all;
    for (const RunFigures& run : runs)
        all += run.latenciesMs;
    return all;
}

template <typename T> T total(const QList<RunFigures>& runs, T RunFigures::*field)
{
    return std::accumulate(runs.begin(), runs.end(), T {},
        [field](T sum, const RunFigures& run) { return sum + run.*field; });
}

QString number(double value, int decimals) { return QString::number(value, 'f', decimals); }

}

BenchTable::BenchTable(const BenchPlan& plan, const QList<RunFigures>& paced,
    const QList<RunFigures>& unpaced, const QList<RunFigures>& traced,
    const QList<RunFigures>& floor, const QList<RunFigures>& wine)
    : m_plan(plan)
    , m_paced(paced)
    , m_unpaced(unpaced)
    , m_traced(traced)
    , m_floor(floor)
    , m_wine(wine)
{
}

QList<BenchTable::Row> BenchTable::rows(const QList<RunFigures>& paced,
    const QList<RunFigures>& unpaced, const QList<RunFigures>& traced) const
{
    QList<Row> rows;

    const double headerResolution = 100.0 * ProcSample::tickSeconds() / m_plan.headerWaitSeconds;
    Row header { QStringLiteral("Processor use waiting for a header, %1 s silent line")
                     .arg(m_plan.headerWaitSeconds),
        100 * median(each(paced, [](const RunFigures& r) { return r.headerWaitCore; })),
        100 * median(each(unpaced, [](const RunFigures& r) { return r.headerWaitCore; })),
        std::nullopt, headerResolution, QStringLiteral("% of a core"), 2,
        QStringLiteral("< %1 %").arg(headerWaitLimit), std::nullopt };
    header.met = header.paced < headerWaitLimit;
    rows << header;

    const double streamSeconds
        = median(each(paced, [](const RunFigures& r) { return r.streamingSeconds; }));
    const double streamResolution
        = streamSeconds > 0 ? 100.0 * ProcSample::tickSeconds() / streamSeconds : 0;
    const double pacedStreaming
        = 100 * median(each(paced, [](const RunFigures& r) { return r.streamingCore; }));
    rows << Row { QStringLiteral("Processor use while bodies arrive at 960 characters/s"),
        pacedStreaming,
        100 * median(each(unpaced, [](const RunFigures& r) { return r.streamingCore; })),
        100 * median(each(m_floor, [](const RunFigures& r) { return r.streamingCore; })),
        streamResolution, QStringLiteral("% of a core"), 1, QStringLiteral("—"), std::nullopt };
    if (!traced.isEmpty()) {
        // Every byte of a body arrives in a read of its own at this pace, each answered: the
        // most a trace ever has to note per second.
        Row tracing { QStringLiteral("the same, with the line traced (--trace FILE)"),
            100 * median(each(traced, [](const RunFigures& r) { return r.streamingCore; })), 0,
            std::nullopt, streamResolution, QStringLiteral("% of a core"), 1,
            QStringLiteral("≤ 1.1 × untraced (%1)").arg(number(1.1 * pacedStreaming, 1)),
            std::nullopt, true };
        tracing.met = tracing.paced <= 1.1 * pacedStreaming;
        rows << tracing;
    }

    const double pacedBody = 100 * median(each(paced, bodyCore));
    const double floorBody = 100 * median(each(m_floor, bodyCore));
    rows << Row { QStringLiteral("Processor use during bodies, first byte to last (the record's "
                                 "own work after it left out)"),
        pacedBody, 100 * median(each(unpaced, bodyCore)), floorBody, 0,
        QStringLiteral("% of a core"), 2, QStringLiteral("—"), std::nullopt };
    Row againstFloor { QStringLiteral("the same, as a multiple of the floor's"),
        pacedBody / floorBody, 100 * median(each(unpaced, bodyCore)) / floorBody, 1.0, 0,
        QStringLiteral("× the floor"), 2, QStringLiteral("≤ %1 × the floor").arg(floorRatioLimit),
        std::nullopt };
    againstFloor.ratioShown = false;
    againstFloor.met = againstFloor.paced <= floorRatioLimit;
    rows << againstFloor;

    const auto perPoll
        = [&](const QString& figure, const auto& perPollOf, int decimals, double limit) {
              Row row { figure, medianOfKnown(paced, perPollOf), medianOfKnown(unpaced, perPollOf),
                  medianOfKnown(m_floor, perPollOf), 0, QStringLiteral("per poll"), decimals,
                  QStringLiteral("≤ %1").arg(limit), std::nullopt };
              if (!std::isnan(row.paced))
                  row.met = row.paced <= limit;
              rows << row;
          };
    perPoll(QStringLiteral("System calls per poll during a body (perf, every thread)"),
        systemCallsPerPoll, 2, systemCallsPerPollLimit);
    perPoll(QStringLiteral("Wake-ups per poll during a body (voluntary switches)"), wakeupsPerPoll,
        3, wakeupsPerPollLimit);

    const auto ackRate = [](const RunFigures& r) { return double(r.bodyAcks) / r.bodySeconds; };
    Row acks { QStringLiteral("ACKs on the wire during a body"), median(each(paced, ackRate)),
        median(each(unpaced, ackRate)), median(each(m_floor, ackRate)), 0, QStringLiteral("per s"),
        0, QStringLiteral("≤ %1 (line rate)").arg(lineRate), std::nullopt };
    acks.met = acks.paced <= lineRate;
    rows << acks;

    // A window of n character times holds n + 1 polls spaced exactly one character time.
    const double windowBound = bodyBytes / ((bodyBytes - 1) / lineRate);
    const auto busiest = [](const QList<RunFigures>& runs) {
        const QList<double> rates
            = each(runs, [](const RunFigures& r) { return r.busiestBodyAckRate; });
        return rates.isEmpty() ? 0.0 : *std::max_element(rates.begin(), rates.end());
    };
    Row busiestRow { QStringLiteral("ACKs on the wire, busiest single body (highest, not median)"),
        busiest(paced), busiest(unpaced), busiest(m_floor), 0, QStringLiteral("per s"), 0,
        QStringLiteral("≤ %1 (line rate, +1 ACK per %2-byte window)")
            .arg(number(windowBound, 0))
            .arg(bodyBytes),
        std::nullopt };
    busiestRow.met = busiestRow.paced <= windowBound;
    rows << busiestRow;

    if (!traced.isEmpty()) {
        const QList<double> gaps = ackGaps(traced);
        const double closeLimit = characterMs - gapToleranceMs;
        const auto close = std::count_if(
            gaps.begin(), gaps.end(), [closeLimit](double gap) { return gap < closeLimit; });
        Row shortest { QStringLiteral("Gap between body ACKs, shortest (1st percentile of %1, "
                                      "traced runs)")
                           .arg(gaps.size()),
            percentile(gaps, 0.01), 0, std::nullopt, 0, QStringLiteral("ms"), 3,
            QStringLiteral("—"), std::nullopt, true };
        rows << shortest;
        rows << Row { QStringLiteral("Gap between body ACKs, median (traced runs)"),
            percentile(gaps, 0.5), 0, std::nullopt, 0, QStringLiteral("ms"), 3, QStringLiteral("—"),
            std::nullopt, true };
        Row tooClose { QStringLiteral("Body ACKs closer than a character time (%1 ms)")
                           .arg(number(characterMs, 4)),
            gaps.isEmpty() ? notCounted : 100.0 * double(close) / double(gaps.size()), 0,
            std::nullopt, 0, QStringLiteral("% of gaps"), 2,
            QStringLiteral("none (< %1 ms, allowing %2 ms)")
                .arg(number(closeLimit, 4), number(gapToleranceMs, 2)),
            std::nullopt, true };
        if (!gaps.isEmpty())
            tooClose.met = close == 0;
        rows << tooClose;
    }

    const QList<double> pacedLatency = latencies(paced);
    const QList<double> unpacedLatency = latencies(unpaced);
    Row latency { QStringLiteral("Last body byte to new result line, median of %1 records")
                      .arg(pacedLatency.size()),
        median(pacedLatency), median(unpacedLatency), std::nullopt, 0, QStringLiteral("ms"), 2,
        QStringLiteral("< %1 ms").arg(latencyLimitMs), std::nullopt };
    latency.met = latency.paced < latencyLimitMs;
    rows << latency;
    const auto highest = [](const QList<double>& values) {
        return values.isEmpty() ? 0.0 : *std::max_element(values.begin(), values.end());
    };
    rows << Row { QStringLiteral("Last body byte to new result line, maximum"),
        highest(pacedLatency), highest(unpacedLatency), std::nullopt, 0, QStringLiteral("ms"), 2,
        QStringLiteral("—"), std::nullopt };

    rows << Row { QStringLiteral("Start-up, process start to window shown"),
        median(each(paced, [](const RunFigures& r) { return r.startupMs; })),
        median(each(unpaced, [](const RunFigures& r) { return r.startupMs; })), std::nullopt, 0,
        QStringLiteral("ms"), 0, QStringLiteral("—"), std::nullopt };

    rows << Row { QStringLiteral("Peak resident memory (VmHWM) at the end of a run"),
        median(each(paced, [](const RunFigures& r) { return r.peakResidentKiB / 1024.0; })),
        median(each(unpaced, [](const RunFigures& r) { return r.peakResidentKiB / 1024.0; })),
        median(each(m_floor, [](const RunFigures& r) { return r.peakResidentKiB / 1024.0; })), 0,
        QStringLiteral("MiB"), 1, QStringLiteral("—"), std::nullopt };
    return rows;
}

QString BenchTable::ratio(const Row& row)
{
    if (!row.ratioShown || std::isnan(row.paced) || std::isnan(row.unpaced))
        return QStringLiteral("—");
    if (row.paced <= 0 && row.resolution > 0)
        return QStringLiteral("> %1×").arg(number(row.unpaced / row.resolution, 0));
    if (row.paced <= 0)
        return QStringLiteral("—");
    const double r = row.unpaced / row.paced;
    return QStringLiteral("%1×").arg(number(r, r < 10 ? 2 : 0));
}

QString BenchTable::markdown(double benchSeconds, int failedRuns) const
{
    QStringList out;
    const bool withWine = !m_wine.isEmpty();
    const auto shown = [](double value, const Row& row) {
        if (std::isnan(value))
            return QStringLiteral("n/a");
        if (value <= 0 && row.resolution > 0)
            return QStringLiteral("< %1").arg(number(row.resolution, row.decimals));
        return number(value, row.decimals);
    };
    const auto plain = [](double value, int decimals) {
        return std::isnan(value) ? QStringLiteral("n/a") : number(value, decimals);
    };
    const auto metText = [](const std::optional<bool>& met) {
        return !met ? QStringLiteral("—")
            : *met  ? QStringLiteral("met")
                    : QStringLiteral("**missed**");
    };
    out << QStringLiteral(
        "| Figure | Unit | Paced (%1) | Unpaced | Unpaced / paced | Floor (bare loop) | Target "
        "(paced) | Met |%2")
               .arg(
                   m_program.isEmpty() ? QStringLiteral("as shipped") : QStringLiteral("--program"),
                   withWine ? QStringLiteral(" Wine (Windows build, paced) | Met under Wine |")
                            : QString());
    out << QStringLiteral("|---|---|---:|---:|---:|---:|---|---|%1")
               .arg(withWine ? QStringLiteral("---:|---|") : QString());
    const QList<Row> native = rows();
    const QList<Row> wine = withWine ? rows(m_wine, m_unpaced, {}) : QList<Row>();
    for (const Row& row : native) {
        QString line
            = QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |")
                  .arg(row.figure, row.unit, shown(row.paced, row),
                      row.pacedOnly ? QStringLiteral("—") : plain(row.unpaced, row.decimals),
                      row.pacedOnly ? QStringLiteral("—") : ratio(row),
                      row.floor ? shown(*row.floor, row) : QStringLiteral("—"), row.target,
                      metText(row.met));
        if (withWine) {
            const auto same = std::find_if(wine.cbegin(), wine.cend(),
                [&row](const Row& other) { return other.figure == row.figure; });
            line += same == wine.cend()
                ? QStringLiteral(" — | — |")
                : QStringLiteral(" %1 | %2 |").arg(shown(same->paced, *same), metText(same->met));
        }
        out << line;
    }

    const QList<RunFigures> both = m_paced + m_unpaced;
    const auto pace = [](const QList<RunFigures>& runs) {
        return double(total(runs, &RunFigures::bodyIntervals))
            / total(runs, &RunFigures::bodySeconds);
    };
    const qint64 stray = total(both, &RunFigures::headerWaitTraffic);
    const QList<double> pacedLatency = latencies(m_paced);

    out << QString();
    out << QStringLiteral("Notes on method:");
    out << QString();
    out << QStringLiteral(
        "- Each variant ran %1 times, alternately, each run a fresh process of the real program "
        "(`reccap`, and `reccap-unpaced`, which is the same `main.cpp` plus "
        "`setPollPacing(false)`) under a private Xvfb with `QT_QPA_PLATFORM=xcb` and a "
        "temporary `XDG_CONFIG_HOME` whose `dosdevices/com3` is a pseudo-terminal slave and "
        "whose `c:` is a temporary folder on the same file system as `/tmp`. Figures are "
        "medians over the runs unless the row says otherwise; latencies are pooled over all "
        "records (%2 per variant).%3%4")
               .arg(m_plan.runs)
               .arg(pacedLatency.size())
               .arg(failedRuns
                       ? QStringLiteral(" %1 run(s) failed and are left out.").arg(failedRuns)
                       : QString(),
                   m_program.isEmpty()
                       ? QString()
                       : QStringLiteral(" The paced and traced runs are of the build given with "
                                        "`--program` (`%1`); the unpaced variant and the floor "
                                        "are the ones built beside the benchmark.")
                             .arg(m_program));
    out << QStringLiteral(
        "- The benchmark, not `instrument-sim`, plays the instrument: it writes to the pty "
        "master itself, one byte every 1.0417 ms (10 bits at 9600 baud) on a fixed grid. The "
        "simulator cannot give that pace: each of its pieces waits for four ACKs after the one "
        "before (over 4 ms against the paced program) and its delays are whole milliseconds. "
        "A write late by more than a character time restarts the grid instead of bursting, so "
        "a late writer slows the pace but never speeds it up. Achieved pace over all bodies: "
        "%1 bytes/s against the paced program, %2 against the unpaced one (whose busy core "
        "leaves the writer fewer chances on time). A body is 178 characters in 182 bytes (a "
        "four-kanji name).")
               .arg(number(pace(m_paced), 1), number(pace(m_unpaced), 1));
    out << QStringLiteral(
        "- Processor use is (utime+stime) of the whole process from `/proc/<pid>/stat` "
        "(clock tick %1 ms) over wall time. Header wait: from the discard the loop makes on "
        "opening COM3 after the Comm Open click (seen in the master's packet mode), for %2 s "
        "of silence (%3 stray bytes from the program in all those samples). Bodies: from the "
        "first byte of the first body to the last byte of the last, %4 records back to back, "
        "so the few milliseconds per record of writing the file, reopening and the header "
        "handshake are included.")
               .arg(number(1000 * ProcSample::tickSeconds(), 0))
               .arg(m_plan.headerWaitSeconds)
               .arg(stray)
               .arg(m_plan.recordsPerRun);
    out << QStringLiteral(
        "- The floor (`reccap-floor`, plain POSIX, no Qt) is the least an event-loop program "
        "can do for the same job. It opens the same `dosdevices/com3` slave raw at 9600 8N1 "
        "(VMIN=0, VTIME=0), discards its input as a reopened port does, waits for the header "
        "in one blocking `poll()` on the line and an idle eventfd (standing for the X "
        "connection and the loop's wake-up descriptor), discards again and ACKs; then for each "
        "poll of a body it arms a timerfd for one character time after the end of the previous "
        "poll, as the program rests, waits "
        "in one `poll()` on it and the eventfd, reads the timer, reads the line without "
        "blocking and writes one ACK: 5 system calls and 1 wake-up per poll. It ran %1 times "
        "in the same alternation, on the same kind of pseudo-terminal at the same pace. With "
        "no window, no result file and nothing to sample in a blocking wait, it has no "
        "start-up, latency or header-wait figure.")
               .arg(m_floor.size());
    out << QStringLiteral(
        "- Processor use during bodies: the threads' run time in nanoseconds (the first field "
        "of `/proc/<pid>/task/*/schedstat`, summed over threads), read just before a body's "
        "first byte and just before its last, summed over a run's bodies and divided by the "
        "time between those readings. Unlike the row above it, this leaves out what a record "
        "costs between bodies (the result file, the reopen, the header handshake). Its multiple "
        "of the floor is the median of the program's figure over the median of the floor's; the "
        "Wine column's is against the same Linux floor, as a floor under Wine would pay "
        "Wine's server round trips of its own.");
    const QList<RunFigures> all = m_paced + m_unpaced + m_traced + m_floor + m_wine;
    QStringList missing;
    int runsMissing = 0;
    for (const RunFigures& run : all) {
        if (run.systemCallsMissing.isEmpty())
            continue;
        ++runsMissing;
        if (!missing.contains(run.systemCallsMissing))
            missing << run.systemCallsMissing;
    }
    out << QStringLiteral(
        "- Per poll: in windows from each body's %1th byte (past the header handshake's "
        "transient) to just before its last, %2 per run. Polls are the ACKs read from the "
        "master in the window. Wake-ups are the growth of the threads' voluntary context "
        "switches (`voluntary_ctxt_switches` in `/proc/<pid>/task/*/status`, summed), read at "
        "the window's ends. System calls are `perf stat -e raw_syscalls:sys_enter,"
        "context-switches -p PID --delay=-1 --control=fifo:CTL,ACK`, one perf per run started "
        "after the header wait, switched on (waiting for its ack) before the window's first "
        "reading and off after its last, so every poll counted has its calls counted; it "
        "counts every thread of the process. perf's own count of context switches, voluntary "
        "or not, was %3 per poll paced and %4 for the floor, against the wake-ups in the "
        "table. perf needs root here (or read access to the tracing file system and a "
        "`kernel.perf_event_paranoid` that allows tracepoints); the counting tracepoint adds a "
        "little to every system call inside the windows, for the floor and the program alike.")
               .arg(BenchPlan::windowStartByte)
               .arg(m_plan.recordsPerRun)
               .arg(plain(medianOfKnown(m_paced, switchesPerPoll), 2),
                   plain(medianOfKnown(m_floor, switchesPerPoll), 2));
    if (runsMissing > 0)
        out << QStringLiteral("- System calls were not counted in %1 run(s) (\"n/a\" where no "
                              "run of a column has them): %2.")
                   .arg(runsMissing)
                   .arg(missing.join(QStringLiteral("; ")));
    if (!m_traced.isEmpty()) {
        const QList<double> gaps = ackGaps(m_traced);
        out << QStringLiteral(
            "- ACK gaps: from the traced runs' traces, which note each ACK (`tx 06`) with a "
            "microsecond clock read just after its write. Within each body, from the first ACK "
            "after the header's to the discard that ends the body, every gap between "
            "consecutive ACKs, pooled over the runs (%1 gaps, shortest %2 ms, longest %3 ms). A "
            "gap counts as closer than a character time below %4 ms: the %5 ms allowed are for "
            "the clock read that sits between a poll's wake-up and the note of its write.")
                   .arg(gaps.size())
                   .arg(plain(gaps.isEmpty() ? notCounted : gaps.first(), 3),
                       plain(gaps.isEmpty() ? notCounted : gaps.last(), 3),
                       number(characterMs - gapToleranceMs, 4), number(gapToleranceMs, 2));
    }
    out << QStringLiteral(
        "- ACKs: every ACK byte read from the master (drained after each byte written) between "
        "writing a body's first byte and its last, over that span; the median row sums a "
        "run's bodies. The busiest-body row is the highest single body of any run; a count "
        "over a finite window can hold one poll more than whole character times fit, hence "
        "its bound.");
    out << QStringLiteral(
        "- Latency: from the return of the write of a body's last byte until the result file, "
        "seen through inotify on its folder (IN_CREATE, IN_MOVED_TO, IN_CLOSE_WRITE) and read at "
        "once, "
        "holds exactly the new line. The next header goes only after the reopened port's "
        "discard (%1 time(s) not seen within 50 ms; the header then went anyway) and is sent "
        "again when unanswered for 250 ms (resends in all %2).")
               .arg(total(both, &RunFigures::reopenMisses))
               .arg(QStringLiteral("%1: %2 paced, %3 unpaced, %4 traced, %5 for the floor")
                        .arg(total(
                            m_paced + m_unpaced + m_traced + m_floor, &RunFigures::headerResends))
                        .arg(total(m_paced, &RunFigures::headerResends))
                        .arg(total(m_unpaced, &RunFigures::headerResends))
                        .arg(total(m_traced, &RunFigures::headerResends))
                        .arg(total(m_floor, &RunFigures::headerResends)));
    out << QStringLiteral(
        "- Start-up: from just before `QProcess::start` until `xdotool search --onlyvisible "
        "--name '^COM$'` first finds the window, polled back to back (one xdotool run, a few "
        "ms, is the resolution). Peak memory: VmHWM from `/proc/<pid>/status` after the last "
        "record.");
    out << QStringLiteral(
        "- A paced figure shown as \"< x\" was zero clock ticks, x being one tick "
        "over the sampled time; its ratio is then a lower bound.");
    if (!m_traced.isEmpty())
        out << QStringLiteral(
            "- The traced row is the paced program started with `--trace` into its private "
            "folder, %1 times, alternating with the others: every body byte a read of its own, "
            "each read and each ACK a line of the trace, written between records.")
                   .arg(m_traced.size());
    if (withWine)
        out << QStringLiteral(
            "- The Wine column is the Windows build (`reccap.exe`, cross-compiled with MinGW-w64) "
            "run under Wine %1 times, alternating with the others, with the prefix's "
            "`dosdevices/com3` as the pseudo-terminal slave and its `drive_c` as drive C. Its "
            "processor use, wake-ups and system calls are those of the program's own process; "
            "the wineserver, which serves many of its calls, is not counted.")
                   .arg(m_wine.size());
    out << QStringLiteral("- The whole benchmark took %1 s on %2 cores. Load averages (1, 5 "
                          "and 15 minutes) were %3 as it began and %4 as it ended; the "
                          "benchmark's own processes count in them.")
               .arg(number(benchSeconds, 0))
               .arg(QThread::idealThreadCount())
               .arg(m_loadAtStart, m_loadAtEnd);
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
