#include "simprocess.h"

#include <QDeadlineTimer>

SimProcess::~SimProcess() { stop(); }

bool SimProcess::start(const QString& program, const QStringList& arguments, int timeoutMs)
{
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    return waitForLine(QRegularExpression(QStringLiteral("^(link|slave): ")), timeoutMs).hasMatch();
}

void SimProcess::collect()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_partial.left(newline));
        m_partial.remove(0, newline + 1);
    }
}

QRegularExpressionMatch SimProcess::waitForLine(const QRegularExpression& pattern, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        for (; m_scanned < m_lines.size(); ++m_scanned) {
            const QRegularExpressionMatch match = pattern.match(m_lines.at(m_scanned));
            if (match.hasMatch()) {
                ++m_scanned;
                return match;
            }
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return {};
        m_process.waitForReadyRead(int(qMin<qint64>(100, deadline.remainingTime())));
    }
}

int SimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitCode();
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    collect();
    return m_process.exitCode();
}

QString SimProcess::errorOutput() { return QString::fromUtf8(m_process.readAllStandardError()); }
