#include "benchtable.h"

#include "procsample.h"

#include <QStringList>
#include <QThread>
#include <algorithm>
#include <functional>
#include <numeric>

namespace {

// Characters per second of 9600 baud with a start and a stop bit.
constexpr double lineRate = 960.0;
// Body bytes each record puts on the line: 178 characters, four of them double-byte.
constexpr int bodyBytes = 182;
constexpr double headerWaitLimit = 1.0;
constexpr double latencyLimitMs = 5.0;

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
    const QList<RunFigures>& wine)
    : m_plan(plan)
    , m_paced(paced)
    , m_unpaced(unpaced)
    , m_traced(traced)
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
        headerResolution, QStringLiteral("% of a core"), 2,
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
        streamResolution, QStringLiteral("% of a core"), 1, QStringLiteral("—"), std::nullopt };
    if (!traced.isEmpty()) {
        // Every byte of a body arrives in a read of its own at this pace, each answered: the
        // most a trace ever has to note per second.
        Row tracing { QStringLiteral("the same, with the line traced (--trace FILE)"),
            100 * median(each(traced, [](const RunFigures& r) { return r.streamingCore; })), 0,
            streamResolution, QStringLiteral("% of a core"), 1,
            QStringLiteral("≤ 1.1 × untraced (%1)").arg(number(1.1 * pacedStreaming, 1)),
            std::nullopt, true };
        tracing.met = tracing.paced <= 1.1 * pacedStreaming;
        rows << tracing;
    }

    const auto ackRate = [](const RunFigures& r) { return double(r.bodyAcks) / r.bodySeconds; };
    Row acks { QStringLiteral("ACKs on the wire during a body"), median(each(paced, ackRate)),
        median(each(unpaced, ackRate)), 0, QStringLiteral("per s"), 0,
        QStringLiteral("≤ %1 (line rate)").arg(lineRate), std::nullopt };
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
        busiest(paced), busiest(unpaced), 0, QStringLiteral("per s"), 0,
        QStringLiteral("≤ %1 (line rate, +1 ACK per %2-byte window)")
            .arg(number(windowBound, 0))
            .arg(bodyBytes),
        std::nullopt };
    busiestRow.met = busiestRow.paced <= windowBound;
    rows << busiestRow;

    const QList<double> pacedLatency = latencies(paced);
    const QList<double> unpacedLatency = latencies(unpaced);
    Row latency { QStringLiteral("Last body byte to new result line, median of %1 records")
                      .arg(pacedLatency.size()),
        median(pacedLatency), median(unpacedLatency), 0, QStringLiteral("ms"), 2,
        QStringLiteral("< %1 ms").arg(latencyLimitMs), std::nullopt };
    latency.met = latency.paced < latencyLimitMs;
    rows << latency;
    const auto highest = [](const QList<double>& values) {
        return values.isEmpty() ? 0.0 : *std::max_element(values.begin(), values.end());
    };
    rows << Row { QStringLiteral("Last body byte to new result line, maximum"),
        highest(pacedLatency), highest(unpacedLatency), 0, QStringLiteral("ms"), 2,
        QStringLiteral("—"), std::nullopt };

    rows << Row { QStringLiteral("Start-up, process start to window shown"),
        median(each(paced, [](const RunFigures& r) { return r.startupMs; })),
        median(each(unpaced, [](const RunFigures& r) { return r.startupMs; })), 0,
        QStringLiteral("ms"), 0, QStringLiteral("—"), std::nullopt };

    rows << Row { QStringLiteral("Peak resident memory (VmHWM) at the end of a run"),
        median(each(paced, [](const RunFigures& r) { return r.peakResidentKiB / 1024.0; })),
        median(each(unpaced, [](const RunFigures& r) { return r.peakResidentKiB / 1024.0; })), 0,
        QStringLiteral("MiB"), 1, QStringLiteral("—"), std::nullopt };
    return rows;
}

QString BenchTable::ratio(const Row& row)
{
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
        if (value <= 0 && row.resolution > 0)
            return QStringLiteral("< %1").arg(number(row.resolution, row.decimals));
        return number(value, row.decimals);
    };
    const auto metText = [](const std::optional<bool>& met) {
        return !met ? QStringLiteral("—")
            : *met  ? QStringLiteral("met")
                    : QStringLiteral("**missed**");
    };
    out << QStringLiteral(
        "| Figure | Unit | Paced (as shipped) | Unpaced | Unpaced / paced | Target "
        "(paced) | Met |%1")
               .arg(withWine ? QStringLiteral(" Wine (Windows build, paced) | Met under Wine |")
                             : QString());
    out << QStringLiteral("|---|---|---:|---:|---:|---|---|%1")
               .arg(withWine ? QStringLiteral("---:|---|") : QString());
    const QList<Row> native = rows();
    const QList<Row> wine = withWine ? rows(m_wine, m_unpaced, {}) : QList<Row>();
    for (const Row& row : native) {
        QString line
            = QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |")
                  .arg(row.figure, row.unit, shown(row.paced, row),
                      row.pacedOnly ? QStringLiteral("—") : number(row.unpaced, row.decimals),
                      row.pacedOnly ? QStringLiteral("—") : ratio(row), row.target,
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
        "records (%2 per variant).%3")
               .arg(m_plan.runs)
               .arg(pacedLatency.size())
               .arg(failedRuns
                       ? QStringLiteral(" %1 run(s) failed and are left out.").arg(failedRuns)
                       : QString());
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
        "again when unanswered for 250 ms (%2 resend(s) in all).")
               .arg(total(both, &RunFigures::reopenMisses))
               .arg(total(both, &RunFigures::headerResends));
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
            "processor use is that of the program's own process; the wineserver, which serves "
            "its system calls, is not counted.")
                   .arg(m_wine.size());
    out << QStringLiteral("- The whole benchmark took %1 s on %2 cores.")
               .arg(number(benchSeconds, 0))
               .arg(QThread::idealThreadCount());
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
