#include "procsample.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <functional>
#include <unistd.h>

namespace {

QByteArray procFile(qint64 pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Adds up `read` over the process's threads; threads that end while they are listed are
// passed over.
std::optional<qint64> overThreads(qint64 pid,
    const std::function<std::optional<qint64>(const QByteArray&)>& read, const char* name)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return std::nullopt;
    qint64 sum = 0;
    for (const QString& thread : threads) {
        QFile file(QStringLiteral("%1/%2/%3").arg(tasks, thread, QLatin1String(name)));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const std::optional<qint64> value = read(file.readAll());
        if (!value)
            return std::nullopt;
        sum += *value;
    }
    return sum;
}

}

double ProcSample::tickSeconds() { return 1.0 / double(sysconf(_SC_CLK_TCK)); }

std::optional<double> ProcSample::cpuSeconds(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    // The command name may hold spaces and parentheses; the fields start after its last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Fields 14 and 15 of stat(5); the list starts at field 3.
    constexpr int utime = 14 - 3;
    constexpr int stime = 15 - 3;
    if (fields.size() <= stime)
        return std::nullopt;
    bool userOk = false;
    bool systemOk = false;
    const qint64 ticks
        = fields.at(utime).toLongLong(&userOk) + fields.at(stime).toLongLong(&systemOk);
    if (!userOk || !systemOk)
        return std::nullopt;
    return double(ticks) * tickSeconds();
}

std::optional<char> ProcSample::state(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || stat.size() <= close + 2)
        return std::nullopt;
    return stat.at(close + 2);
}

std::optional<qint64> ProcSample::peakResidentKiB(qint64 pid)
{
    const QList<QByteArray> lines = procFile(pid, "status").split('\n');
    for (const QByteArray& line : lines) {
        if (!line.startsWith("VmHWM:"))
            continue;
        bool ok = false;
        const qint64 kib = line.mid(6).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? std::optional<qint64>(kib) : std::nullopt;
    }
    return std::nullopt;
}

std::optional<qint64> ProcSample::cpuNanoseconds(qint64 pid)
{
    return overThreads(
        pid,
        [](const QByteArray& schedstat) -> std::optional<qint64> {
            bool ok = false;
            const qint64 ns = schedstat.trimmed().split(' ').value(0).toLongLong(&ok);
            return ok ? std::optional<qint64>(ns) : std::nullopt;
        },
        "schedstat");
}

std::optional<qint64> ProcSample::voluntarySwitches(qint64 pid)
{
    return overThreads(
        pid,
        [](const QByteArray& status) -> std::optional<qint64> {
            const QList<QByteArray> lines = status.split('\n');
            for (const QByteArray& line : lines) {
                if (!line.startsWith("voluntary_ctxt_switches:"))
                    continue;
                bool ok = false;
                const qint64 switches = line.mid(24).trimmed().toLongLong(&ok);
                return ok ? std::optional<qint64>(switches) : std::nullopt;
            }
            return std::nullopt;
        },
        "status");
}
