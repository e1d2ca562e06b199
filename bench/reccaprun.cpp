#include "reccaprun.h"

#include "cp932encoder.h"
#include "desktopdriver.h"
#include "procsample.h"
#include "recordbody.h"
#include "traceackgaps.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <poll.h>

namespace {

using namespace std::chrono_literals;
using std::chrono::duration;
using std::chrono::nanoseconds;

// Ten bits (start, 8 data, stop) at 9600 baud: the line never carries characters faster.
constexpr nanoseconds characterTime { 10'000'000'000 / 9600 };

constexpr int commPort = 3;
// The middle of "Comm Open", in the window's own coordinates.
constexpr int commOpenX = 68;
constexpr int commOpenY = 24;

const QByteArray header("R001");

constexpr auto startLimit = 30s;
constexpr auto openLimit = 5s;
constexpr int openClicks = 3;
// The program answers a header within a poll; an ACK this late means the header was thrown
// away by a discard, so it goes again.
constexpr auto headerAckLimit = 250ms;
constexpr int headerSends = 20;
constexpr auto firstPollLimit = 2s;
constexpr auto resultLimit = 10s;
// The port is reopened right after the file is written; past this the header goes anyway and
// is sent again when it was thrown away.
constexpr auto reopenLimit = 50ms;

double milliseconds(std::chrono::steady_clock::duration d)
{
    return duration<double, std::milli>(d).count();
}

double seconds(std::chrono::steady_clock::duration d) { return duration<double>(d).count(); }

QString idText(int record) { return QString::number(record); }

RecordBody bodyFor(int record)
{
    RecordFields fields;
    fields.kanjiName = QStringLiteral("見本氏名");
    fields.kanaName = QStringLiteral("ﾐﾎﾝ ﾀﾛｳ");
    fields.dateOfBirth = QStringLiteral("S45.03.12");
    fields.gender = QStringLiteral("1");
    fields.id = idText(record);
    return RecordBody::build(fields);
}

QByteArray expectedLine(int record)
{
    const QString id = QStringLiteral("%1 ").arg(record, 5, 10, QLatin1Char('0'));
    return Cp932Encoder::encode(
        QStringLiteral("\"%1\",\"S45.03.12\",\"見本氏名\",\"1\"\r\n").arg(id))
        .value_or(QByteArray());
}

}

ReccapRun::ReccapRun(const QString& program, const QString& display, const BenchPlan& plan,
    const QString& winePrefix)
    : m_program(program)
    , m_display(display)
    , m_winePrefix(winePrefix)
    , m_plan(plan)
{
}

ReccapRun::~ReccapRun() { stopProgram(); }

bool ReccapRun::fail(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why;
    return false;
}

std::optional<RunFigures> ReccapRun::measure()
{
    // A blocking poll() costs nothing while it waits, so the floor's header wait is not sampled.
    bool ok = prepare() && start() && openPort() && (m_floor || sampleHeaderWait());
    if (ok) {
        startCounting();
        ok = streamRecords() && sampleMemory();
    }
    finishCounting();
    stopProgram();
    // The program writes out its trace as it ends.
    ok = ok && (!m_traced || readTrace());
    if (!ok) {
        QFile log(m_config.filePath(QStringLiteral("stderr.txt")));
        if (log.open(QIODevice::ReadOnly)) {
            const QByteArray said = log.readAll().trimmed();
            if (!said.isEmpty())
                m_error
                    += QStringLiteral(" (the program said: %1)").arg(QString::fromLocal8Bit(said));
        }
        return std::nullopt;
    }
    return m_figures;
}

bool ReccapRun::prepare()
{
    if (!m_config.isValid() || !m_drive.isValid())
        return fail(QStringLiteral("no temporary folder"));
    if (!m_line.isValid())
        return fail(m_line.errorString());
    if (!m_winePrefix.isEmpty()) {
        const QString drive = m_winePrefix + QStringLiteral("/drive_c");
        QFile::remove(drive + QStringLiteral("/Result.txt"));
        if (!m_line.linkAsPort(m_winePrefix + QStringLiteral("/dosdevices"), commPort))
            return fail(QStringLiteral("cannot link COM3 in %1").arg(m_winePrefix));
        m_result.emplace(drive + QStringLiteral("/Result.txt"));
        if (!m_result->isValid())
            return fail(QStringLiteral("cannot watch %1").arg(drive));
        return true;
    }
    const QString devices = m_config.filePath(QStringLiteral("reccap/dosdevices"));
    if (!QDir().mkpath(devices) || !QFile::link(m_drive.path(), devices + QStringLiteral("/c:"))
        || !m_line.linkAsPort(devices, commPort))
        return fail(QStringLiteral("cannot set up %1").arg(devices));
    m_result.emplace(m_drive.filePath(QStringLiteral("Result.txt")));
    if (!m_result->isValid())
        return fail(QStringLiteral("cannot watch %1").arg(m_drive.path()));
    return true;
}

bool ReccapRun::start()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    if (m_winePrefix.isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    } else {
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("WINEPREFIX"), m_winePrefix);
        environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    }
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    // A file, not a pipe: nobody reads a pipe while the run goes on, and a full one would stop
    // the program in the middle of a measurement.
    m_process.setStandardErrorFile(m_config.filePath(QStringLiteral("stderr.txt")));

    if (m_floor) {
        const RecordBody first = bodyFor(1);
        if (!first.isValid())
            return fail(first.errorString());
        m_floorBodyLength = first.bytes().size();
        m_process.start(m_program,
            { m_config.filePath(QStringLiteral("reccap/dosdevices/com%1").arg(commPort)),
                QString::number(m_floorBodyLength) });
        if (!m_process.waitForStarted(10000))
            return fail(
                QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString()));
        return true;
    }

    const QStringList programArguments = m_traced
        ? QStringList { QStringLiteral("--trace"), m_config.filePath(QStringLiteral("line.trace")) }
        : QStringList();
    const Clock::time_point startedAt = Clock::now();
    // The wine launcher execs the loader, so the process measured is the program itself.
    if (m_winePrefix.isEmpty())
        m_process.start(m_program, programArguments);
    else
        m_process.start(QStringLiteral("wine"), QStringList { m_program } + programArguments);
    if (!m_process.waitForStarted(10000))
        return fail(QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString()));

    // Shown means mapped: a window that exists but is not yet viewable cannot be clicked.
    QProcess search;
    QProcessEnvironment searchEnvironment = QProcessEnvironment::systemEnvironment();
    searchEnvironment.insert(QStringLiteral("DISPLAY"), m_display);
    search.setProcessEnvironment(searchEnvironment);
    const QStringList arguments { QStringLiteral("search"), QStringLiteral("--onlyvisible"),
        QStringLiteral("--name"), QStringLiteral("^COM$") };
    while (Clock::now() - startedAt < startLimit) {
        search.start(QStringLiteral("xdotool"), arguments);
        if (!search.waitForFinished(10000))
            return fail(QStringLiteral("xdotool search did not finish"));
        const quint64 id = QString::fromUtf8(search.readAllStandardOutput())
                               .section(QLatin1Char('\n'), 0, 0)
                               .trimmed()
                               .toULongLong();
        if (id != 0) {
            m_figures.startupMs = milliseconds(Clock::now() - startedAt);
            m_window = id;
            return true;
        }
        if (m_process.state() != QProcess::Running)
            return fail(QStringLiteral("the program ended before showing its window"));
    }
    return fail(QStringLiteral("no window titled COM appeared"));
}

bool ReccapRun::openPort()
{
    if (m_floor) {
        // The floor opens the line as it starts and discards what it holds, as reccap does.
        return waitFor([&] { return m_line.discards() > 0; }, Clock::now() + startLimit)
            || fail(QStringLiteral("the floor never opened COM3"));
    }
    const DesktopDriver desktop(m_display);
    for (int click = 0; click < openClicks; ++click) {
        m_line.drain();
        const qint64 before = m_line.discards();
        if (!desktop.click(m_window, commOpenX, commOpenY))
            return fail(QStringLiteral("xdotool could not click Comm Open"));
        // The loop discards the line's input as soon as it has opened the port.
        if (waitFor([&] { return m_line.discards() > before; }, Clock::now() + openLimit))
            return true;
    }
    return fail(QStringLiteral("the program did not open COM3 after %1 clicks on Comm Open")
                    .arg(openClicks));
}

bool ReccapRun::sampleHeaderWait()
{
    m_line.drain();
    const qint64 trafficBefore = m_line.acks() + m_line.otherBytes();
    const std::optional<double> cpuBefore = ProcSample::cpuSeconds(pid());
    const Clock::time_point from = Clock::now();
    waitFor([] { return false; }, from + std::chrono::seconds(m_plan.headerWaitSeconds));
    const std::optional<double> cpuAfter = ProcSample::cpuSeconds(pid());
    const Clock::time_point to = Clock::now();
    if (!cpuBefore || !cpuAfter)
        return fail(QStringLiteral("cannot read /proc/%1/stat").arg(pid()));
    m_figures.headerWaitCore = (*cpuAfter - *cpuBefore) / seconds(to - from);
    m_figures.headerWaitTraffic = m_line.acks() + m_line.otherBytes() - trafficBefore;
    return true;
}

bool ReccapRun::streamRecords()
{
    for (int record = 1; record <= m_plan.recordsPerRun; ++record) {
        const RecordBody body = bodyFor(record);
        if (!body.isValid())
            return fail(body.errorString());
        if (m_floor && body.bytes().size() != m_floorBodyLength)
            return fail(QStringLiteral("record %1 is %2 bytes; the floor counts %3")
                            .arg(record)
                            .arg(body.bytes().size())
                            .arg(m_floorBodyLength));
        if (record > 1 && !m_floor)
            awaitReopen();
        const bool done = m_floor
            ? sendHeader() && sendBody(body.bytes(), record == 1) && awaitFloorBodyEnd()
            : sendHeader() && sendBody(body.bytes(), record == 1)
                && awaitResult(expectedLine(record));
        if (!done) {
            m_error = QStringLiteral("record %1: %2").arg(record).arg(m_error);
            return false;
        }
    }
    const std::optional<double> cpu = ProcSample::cpuSeconds(pid());
    if (!cpu)
        return fail(QStringLiteral("cannot read /proc/%1/stat").arg(pid()));
    // From the first byte of the first body to the last byte of the last one.
    m_figures.streamingSeconds = seconds(m_lastByteAt - m_streamStartAt);
    m_figures.streamingCore = (*cpu - m_streamStartCpu) / m_figures.streamingSeconds;
    return true;
}

bool ReccapRun::sendHeader()
{
    for (int send = 0; send < headerSends; ++send) {
        m_line.drain();
        const qint64 before = m_line.acks();
        if (!m_line.write(header))
            return fail(m_line.errorString());
        if (waitFor([&] { return m_line.acks() > before; }, Clock::now() + headerAckLimit)) {
            // The body wait begins after a second discard; its first poll answers with an ACK,
            // and only from then on does a body byte stay on the line.
            return waitFor(
                       [&] { return m_line.acks() > before + 1; }, Clock::now() + firstPollLimit)
                || fail(QStringLiteral("the body wait never polled"));
        }
        ++m_figures.headerResends;
    }
    return fail(QStringLiteral("the header was never acknowledged"));
}

bool ReccapRun::sendBody(const QByteArray& body, bool firstOfRun)
{
    qint64 acksAtFirst = 0;
    Clock::time_point firstAt {};
    qint64 cpuAtFirst = 0;
    Clock::time_point cpuFirstAt {};
    qint64 acksAtWindow = 0;
    qint64 wakeupsAtWindow = 0;
    bool windowOpen = false;
    const qsizetype last = body.size() - 1;
    Clock::time_point grid = Clock::now();
    for (qsizetype i = 0; i < body.size(); ++i) {
        Clock::time_point due = grid + i * characterTime;
        // Late by a whole character (the benchmark was not scheduled): start the grid again
        // from here rather than catch up, since a real line never delivers a burst.
        if (Clock::now() > due + characterTime) {
            grid = Clock::now() - i * characterTime;
            due = Clock::now();
        }
        sleepUntil(due);
        m_line.drain();
        if (i == 0) {
            acksAtFirst = m_line.acks();
            firstAt = Clock::now();
            const std::optional<qint64> cpuNs = ProcSample::cpuNanoseconds(pid());
            if (!cpuNs)
                return fail(QStringLiteral("cannot read /proc/%1/task/*/schedstat").arg(pid()));
            cpuAtFirst = *cpuNs;
            cpuFirstAt = Clock::now();
            if (firstOfRun) {
                const std::optional<double> cpu = ProcSample::cpuSeconds(pid());
                if (!cpu)
                    return fail(QStringLiteral("cannot read /proc/%1/stat").arg(pid()));
                m_streamStartAt = firstAt;
                m_streamStartCpu = *cpu;
            }
        }
        if (i == last) {
            // Before the last byte goes out: what the program does once it has it is the
            // record's work, not the body's.
            const std::optional<qint64> cpuNs = ProcSample::cpuNanoseconds(pid());
            if (!cpuNs)
                return fail(QStringLiteral("cannot read /proc/%1/task/*/schedstat").arg(pid()));
            m_figures.bodyCpuNs += *cpuNs - cpuAtFirst;
            m_figures.bodyCpuSeconds += seconds(Clock::now() - cpuFirstAt);
            if (windowOpen && !closeBodyWindow(acksAtWindow, wakeupsAtWindow))
                return false;
            m_discardsAtLastByte = m_line.discards();
        }
        if (!m_line.write(body.mid(i, 1)))
            return fail(m_line.errorString());
        if (i == BenchPlan::windowStartByte - 1 && i < last) {
            if (!openBodyWindow(&acksAtWindow, &wakeupsAtWindow))
                return false;
            windowOpen = true;
        }
    }
    m_lastByteAt = Clock::now();
    m_resultTouched = false;
    m_line.drain();
    const qint64 acks = m_line.acks() - acksAtFirst;
    const double span = seconds(m_lastByteAt - firstAt);
    m_figures.bodyAcks += acks;
    m_figures.bodySeconds += span;
    m_figures.bodyIntervals += body.size() - 1;
    m_figures.busiestBodyAckRate = std::max(m_figures.busiestBodyAckRate, double(acks) / span);
    return true;
}

bool ReccapRun::awaitResult(const QByteArray& expected)
{
    if (expected.isEmpty())
        return fail(QStringLiteral("the expected result line cannot be encoded"));
    const auto written = [&] {
        if (!m_resultTouched)
            return false;
        m_resultTouched = false;
        return m_result->contents() == expected;
    };
    if (!waitFor(written, m_lastByteAt + resultLimit))
        return fail(QStringLiteral("the result file never held %1")
                        .arg(QString::fromLatin1(expected.toPercentEncoding())));
    m_figures.latenciesMs << milliseconds(Clock::now() - m_lastByteAt);
    return true;
}

void ReccapRun::awaitReopen()
{
    // The discard that ends the body came before the file was renamed into place, so once
    // the file is seen and the line read again, the next discard is the reopened port's.
    m_line.drain();
    const qint64 before = m_line.discards();
    if (!waitFor([&] { return m_line.discards() > before; }, Clock::now() + reopenLimit))
        ++m_figures.reopenMisses;
}

bool ReccapRun::openBodyWindow(qint64* acks, qint64* wakeups)
{
    // perf first: the window it counts holds the one counted here, so a poll is never
    // counted without its calls. A perf that fails leaves its counts unknown, nothing else.
    if (m_perf)
        m_perf->open();
    m_line.drain();
    const std::optional<qint64> switches = ProcSample::voluntarySwitches(pid());
    if (!switches)
        return fail(QStringLiteral("cannot read /proc/%1/task/*/status").arg(pid()));
    *acks = m_line.acks();
    *wakeups = *switches;
    return true;
}

bool ReccapRun::closeBodyWindow(qint64 acksAtOpen, qint64 wakeupsAtOpen)
{
    m_line.drain();
    const std::optional<qint64> switches = ProcSample::voluntarySwitches(pid());
    if (!switches)
        return fail(QStringLiteral("cannot read /proc/%1/task/*/status").arg(pid()));
    m_figures.windowPolls += m_line.acks() - acksAtOpen;
    m_figures.windowWakeups += *switches - wakeupsAtOpen;
    if (m_perf)
        m_perf->close();
    return true;
}

bool ReccapRun::awaitFloorBodyEnd()
{
    // The floor discards the line as the body ends and again as its loop begins; a header
    // written before the second would be thrown away.
    if (!waitFor(
            [&] { return m_line.discards() > m_discardsAtLastByte; }, m_lastByteAt + resultLimit))
        return fail(QStringLiteral("the floor never ended the body"));
    // The two may come as one report, so the second is not waited for as such: once the floor
    // sleeps, it sleeps in the header wait, past both. Waking here for the first report often
    // takes the floor's core before its second discard, so this is not a formality.
    const Clock::time_point until = Clock::now() + reopenLimit;
    while (ProcSample::state(pid()) != 'S' && Clock::now() < until)
        sleepUntil(Clock::now() + 20us);
    return true;
}

void ReccapRun::startCounting()
{
    m_perf.emplace(m_config.path());
    // A perf that cannot start says why in finishCounting(); the run goes on without it.
    m_perf->start(pid());
}

void ReccapRun::finishCounting()
{
    if (!m_perf)
        return;
    if (m_perf->finish()) {
        m_figures.windowSystemCalls = m_perf->systemCalls();
        m_figures.windowContextSwitches = m_perf->contextSwitches();
    } else {
        m_figures.systemCallsMissing = m_perf->errorString();
    }
    m_perf.reset();
}

bool ReccapRun::readTrace()
{
    QString error;
    const std::optional<QList<double>> gaps
        = TraceAckGaps::read(m_config.filePath(QStringLiteral("line.trace")), &error);
    if (!gaps)
        return fail(error);
    m_figures.bodyAckGapsMs = *gaps;
    return true;
}

bool ReccapRun::sampleMemory()
{
    const std::optional<qint64> kib = ProcSample::peakResidentKiB(pid());
    if (!kib)
        return fail(QStringLiteral("cannot read /proc/%1/status").arg(pid()));
    m_figures.peakResidentKiB = *kib;
    return true;
}

void ReccapRun::stopProgram()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    if (m_winePrefix.isEmpty())
        return;
    // Each run starts a fresh Wine session: the program's desktop process would otherwise keep
    // the old one, its display included, alive for the next.
    QProcess wineserver;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEPREFIX"), m_winePrefix);
    wineserver.setProcessEnvironment(environment);
    wineserver.start(QStringLiteral("wineserver"), { QStringLiteral("-k") });
    wineserver.waitForFinished(30000);
}

void ReccapRun::sleepUntil(Clock::time_point until)
{
    // Sleeping rather than polling the master: the unpaced program sends ACKs by the hundred
    // thousand per second, and waking for each would cost the pace of the line. The slave's
    // output queue holds far more than one character time of them.
    const nanoseconds at = until.time_since_epoch();
    timespec wake {};
    wake.tv_sec = time_t(at.count() / 1'000'000'000);
    wake.tv_nsec = long(at.count() % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) { }
}

void ReccapRun::pump(Clock::time_point until)
{
    const nanoseconds left = std::max(nanoseconds(0), until - Clock::now());
    timespec timeout {};
    timeout.tv_sec = time_t(left.count() / 1'000'000'000);
    timeout.tv_nsec = long(left.count() % 1'000'000'000);
    pollfd fds[2]
        = { { m_line.descriptor(), POLLIN | POLLPRI, 0 }, { m_result->descriptor(), POLLIN, 0 } };
    ppoll(fds, 2, &timeout, nullptr);
    m_line.drain();
    if (fds[1].revents & POLLIN) {
        if (m_result->drain())
            m_resultTouched = true;
        // Whatever the program discarded before it renamed the file is counted before the
        // file is seen, so a later discard can only be a later one.
        m_line.drain();
    }
}

bool ReccapRun::waitFor(const std::function<bool()>& done, Clock::time_point until)
{
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= until) {
            m_line.drain();
            return done();
        }
        pump(until);
    }
}
