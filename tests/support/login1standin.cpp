#include "login1standin.h"

#include "endprocess.h"
#include "privatebus.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>

namespace {

// Anyone on this bus may own any name and call anything: it is the test's alone.
const char busConfig[]
    = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

}

Login1StandIn::~Login1StandIn()
{
    endProcess(m_standIn);
    endProcess(m_bus);
}

bool Login1StandIn::start(const QString& standInScript, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    if (!m_folder.isValid()) {
        m_error = QStringLiteral("no temporary folder for the bus");
        return false;
    }
    QFile config(m_folder.filePath(QStringLiteral("system-bus.conf")));
    if (!config.open(QIODevice::WriteOnly)
        || config.write(QString::fromLatin1(busConfig)
                            .arg(m_folder.filePath(QStringLiteral("system_bus_socket")))
                            .toUtf8())
            < 0) {
        m_error = QStringLiteral("cannot write %1").arg(config.fileName());
        return false;
    }
    config.close();

    m_address = startPrivateBus(
        m_bus, QStringLiteral("--config-file=") + config.fileName(), deadline, &m_error);
    if (m_address.isEmpty())
        return false;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    m_standIn.setProcessEnvironment(environment);
    m_standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_standIn.start(standInScript, QStringList());
    while (!m_standIn.canReadLine() && m_standIn.state() != QProcess::NotRunning
        && !deadline.hasExpired())
        m_standIn.waitForReadyRead(50);
    if (!m_standIn.canReadLine() || m_standIn.readLine().trimmed() != "ready") {
        m_error = QStringLiteral("the logind stand-in did not start");
        return false;
    }
    return true;
}

QStringList Login1StandIn::events()
{
    while (m_standIn.canReadLine())
        m_events << QString::fromUtf8(m_standIn.readLine()).trimmed();
    return m_events;
}

int Login1StandIn::held()
{
    int count = 0;
    for (const QString& event : events()) {
        if (event.startsWith(QLatin1String("taken ")))
            ++count;
        else if (event.startsWith(QLatin1String("released ")))
            --count;
    }
    return count;
}

bool Login1StandIn::answerWith(const QByteArray& mode)
{
    if (m_standIn.write(mode + '\n') != mode.size() + 1 || !m_standIn.waitForBytesWritten(5000))
        return false;
    // Confirmed before any call it is meant for can arrive.
    const QString confirmed = QStringLiteral("mode ") + QString::fromUtf8(mode);
    const QDeadlineTimer deadline(5000);
    while (!events().contains(confirmed) && !deadline.hasExpired())
        m_standIn.waitForReadyRead(50);
    m_events.removeAll(confirmed);
    return !deadline.hasExpired();
}
