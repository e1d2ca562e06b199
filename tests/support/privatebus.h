#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>

// Starts a D-Bus daemon of the test's own in `bus` (its kind, --session or --config-file=...,
// in `kind`) and returns the address it listens on, or an empty string with *error set.
inline QString startPrivateBus(
    QProcess& bus, const QString& kind, const QDeadlineTimer& deadline, QString* error)
{
    bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bus.start(QStringLiteral("dbus-daemon"),
        { kind, QStringLiteral("--nofork"), QStringLiteral("--print-address=1") });
    while (!bus.canReadLine() && bus.state() != QProcess::NotRunning && !deadline.hasExpired())
        bus.waitForReadyRead(50);
    if (!bus.canReadLine()) {
        *error = QStringLiteral("dbus-daemon gave no address: %1").arg(bus.errorString());
        return {};
    }
    return QString::fromUtf8(bus.readLine()).trimmed();
}
