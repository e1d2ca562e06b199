#include "xvfbserver.h"

#include <QDeadlineTimer>
#include <QFile>

XvfbServer::~XvfbServer() { stop(); }

bool XvfbServer::start(int timeoutMs)
{
    for (int number = 90; number < 190; ++number) {
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (QFile::exists(socket) || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        m_process.setProgram(QStringLiteral("Xvfb"));
        m_process.setArguments(
            { QStringLiteral(":%1").arg(number), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("800x600x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                // Without it the server resets when its last client leaves, and a program started
                // during the reset cannot connect.
                QStringLiteral("-noreset") });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start();
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("cannot start Xvfb: %1").arg(m_process.errorString());
            return false;
        }
        // Another server may have taken the number meanwhile; Xvfb then exits at once.
        const QDeadlineTimer deadline(timeoutMs);
        while (!QFile::exists(socket) && m_process.state() == QProcess::Running
            && !deadline.hasExpired())
            m_process.waitForFinished(20);
        if (QFile::exists(socket) && m_process.state() == QProcess::Running) {
            m_display = QStringLiteral(":%1").arg(number);
            return true;
        }
        stop();
    }
    m_error = QStringLiteral("no display number was free for Xvfb");
    return false;
}

void XvfbServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    m_display.clear();
}
