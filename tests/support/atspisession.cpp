#include "atspisession.h"

#include "endprocess.h"
#include "privatebus.h"

#include <QDeadlineTimer>

AtSpiSession::~AtSpiSession()
{
    // The launcher first: it ends the accessibility bus it started, which needs the session
    // bus no more.
    endProcess(m_launcher);
    endProcess(m_bus);
}

bool AtSpiSession::start(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    m_address = startPrivateBus(m_bus, QStringLiteral("--session"), deadline, &m_error);
    if (m_address.isEmpty())
        return false;

    // Started here rather than left to the session bus to start on demand, so that it ends
    // with the test and two of them never race for the name.
    m_launcher.setProcessEnvironment(environment());
    m_launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_launcher.setStandardOutputFile(QProcess::nullDevice());
    m_launcher.start(QStringLiteral("/usr/libexec/at-spi-bus-launcher"),
        { QStringLiteral("--launch-immediately") });
    if (!m_launcher.waitForStarted(5000)) {
        m_error
            = QStringLiteral("cannot start at-spi-bus-launcher: %1").arg(m_launcher.errorString());
        return false;
    }
    while (!launcherReady()) {
        if (m_launcher.state() == QProcess::NotRunning || deadline.hasExpired()) {
            m_error = QStringLiteral("at-spi-bus-launcher did not take org.a11y.Bus");
            return false;
        }
        m_launcher.waitForFinished(50);
    }
    return true;
}

QProcessEnvironment AtSpiSession::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    base.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
    base.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    return base;
}

bool AtSpiSession::launcherReady() const
{
    QProcess ask;
    ask.setProcessEnvironment(environment());
    ask.start(QStringLiteral("dbus-send"),
        { QStringLiteral("--session"), QStringLiteral("--print-reply"),
            QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/"),
            QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
            QStringLiteral("string:org.a11y.Bus") });
    return ask.waitForFinished(5000) && ask.readAllStandardOutput().contains("boolean true");
}
