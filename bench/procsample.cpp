#include "procsample.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace {

QByteArray procFile(qint64 pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
