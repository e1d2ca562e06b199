#include "perfwindow.h"

#include <QFile>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const QString syscallEvent = QStringLiteral("raw_syscalls:sys_enter");
const QString switchEvent = QStringLiteral("context-switches");
// perf reads the tracepoints' formats and attaches to every thread before it listens, which
// takes seconds on a busy machine.
constexpr int attachLimitMs = 30000;
// A switch is one read and one write for perf; longer means perf is stuck or starved, and a
// window that long would not be the one the benchmark meant.
constexpr int switchLimitMs = 2000;

QString systemError(const QString& what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

}

PerfWindow::PerfWindow(const QString& folder)
    : m_folder(folder)
{
}

PerfWindow::~PerfWindow()
{
    stop();
    if (m_control >= 0)
        ::close(m_control);
    if (m_ack >= 0)
        ::close(m_ack);
}

bool PerfWindow::fail(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why;
    return false;
}

QString PerfWindow::perfSaid() const
{
    QFile log(m_folder + QStringLiteral("/perf-stderr.txt"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList said;
    for (const QByteArray& line : log.readAll().split('\n')) {
        // perf notes every switch; those say nothing about a failure.
        if (line.startsWith("Events ") || line.trimmed().isEmpty())
            continue;
        said << QString::fromLocal8Bit(line.trimmed());
    }
    return said.isEmpty() ? QString()
                          : QStringLiteral(" (perf said: %1)").arg(said.join(QLatin1Char(' ')));
}

bool PerfWindow::start(qint64 pid)
{
    const QString control = m_folder + QStringLiteral("/perf-control");
    const QString ack = m_folder + QStringLiteral("/perf-ack");
    if (::mkfifo(QFile::encodeName(control).constData(), 0600) != 0
        || ::mkfifo(QFile::encodeName(ack).constData(), 0600) != 0)
        return fail(systemError(QStringLiteral("mkfifo in %1").arg(m_folder)));
    // Both ends open for reading and writing here, so that neither open waits for perf.
    m_control = ::open(QFile::encodeName(control).constData(), O_RDWR | O_CLOEXEC);
    m_ack = ::open(QFile::encodeName(ack).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_control < 0 || m_ack < 0)
        return fail(systemError(QStringLiteral("opening perf's fifos")));

    m_perf.setStandardOutputFile(QProcess::nullDevice());
    m_perf.setStandardErrorFile(m_folder + QStringLiteral("/perf-stderr.txt"));
    m_perf.start(QStringLiteral("perf"),
        { QStringLiteral("stat"), QStringLiteral("-x"), QStringLiteral(","), QStringLiteral("-e"),
            syscallEvent + QLatin1Char(',') + switchEvent, QStringLiteral("--delay=-1"),
            QStringLiteral("--control=fifo:%1,%2").arg(control, ack), QStringLiteral("-p"),
            QString::number(pid), QStringLiteral("-o"),
            m_folder + QStringLiteral("/perf-stat.txt") });
    if (!m_perf.waitForStarted(10000))
        return fail(QStringLiteral("cannot start perf (Debian package linux-perf): %1")
                        .arg(m_perf.errorString()));
    m_started = true;
    // The counters start off; an acknowledged switch-off says perf is attached and listening.
    return command("disable", attachLimitMs);
}

bool PerfWindow::open()
{
    ++m_windows;
    return command("enable", switchLimitMs);
}

bool PerfWindow::close() { return command("disable", switchLimitMs); }

bool PerfWindow::command(const char* text, int timeoutMs)
{
    if (!isCounting())
        return false;
    char buffer[64];
    while (::read(m_ack, buffer, sizeof buffer) > 0) { }
    const QByteArray line = QByteArray(text) + '\n';
    if (::write(m_control, line.constData(), size_t(line.size())) != line.size())
        return fail(systemError(QStringLiteral("writing to perf's control fifo")));
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray answer;
    while (!answer.contains("ack")) {
        if (m_perf.waitForFinished(0))
            return fail(QStringLiteral("perf ended while counting%1").arg(perfSaid()));
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return fail(QStringLiteral("perf did not acknowledge \"%1\" within %2 ms%3")
                            .arg(QLatin1String(text))
                            .arg(timeoutMs)
                            .arg(perfSaid()));
        // Short waits, so that perf ending is noticed without a signal handler.
        pollfd fd { m_ack, POLLIN, 0 };
        ::poll(&fd, 1, int(std::min<qint64>(left, 100)));
        const ssize_t got = ::read(m_ack, buffer, sizeof buffer);
        if (got > 0)
            answer.append(buffer, got);
    }
    return true;
}

void PerfWindow::stop()
{
    if (m_perf.state() == QProcess::NotRunning)
        return;
    // SIGINT is what makes perf stat write its counts and end.
    ::kill(pid_t(m_perf.processId()), SIGINT);
    if (!m_perf.waitForFinished(10000)) {
        m_perf.kill();
        m_perf.waitForFinished(5000);
    }
}

bool PerfWindow::finish()
{
    if (!m_started)
        return false;
    stop();
    if (!m_error.isEmpty())
        return false;
    QFile output(m_folder + QStringLiteral("/perf-stat.txt"));
    if (!output.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("perf wrote no counts%1").arg(perfSaid()));
    // One line per event: value, unit, event, running time, share of it counted, ...
    for (const QByteArray& line : output.readAll().split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() < 3)
            continue;
        const QString event = QString::fromLatin1(fields.at(2));
        if (event != syscallEvent && event != switchEvent)
            continue;
        bool ok = false;
        const qint64 count = fields.at(0).toLongLong(&ok);
        if (!ok)
            return fail(QStringLiteral("perf did not count %1 over %2 window(s): \"%3\"%4")
                            .arg(event)
                            .arg(m_windows)
                            .arg(QString::fromLatin1(fields.at(0)), perfSaid()));
        (event == syscallEvent ? m_systemCalls : m_contextSwitches) = count;
    }
    if (!m_systemCalls || !m_contextSwitches)
        return fail(QStringLiteral("perf's output lacks %1 or %2%3")
                        .arg(syscallEvent, switchEvent, perfSaid()));
    return true;
}
