#include "qtserialcontrol.h"

#include "cp932encoder.h"
#include "dosdevices.h"
#include "lockfiles.h"
#include "portcontrol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The lock file that QSerialPort takes for a port, found the way Qt 6 finds it: "LCK.." and the
// port's name with '/' as '_', in the first of these folders that this user may read and either
// write or already finds the file in. On Debian that is /var/lock (a link to /run/lock), which
// every user may write.
QString qtSerialPortLockPath(const QString& portName)
{
    QString fileName = portName;
    fileName.replace(QLatin1Char('/'), QLatin1Char('_'));
    fileName.prepend(QStringLiteral("/LCK.."));
    const QStringList folders { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"), QStringLiteral("/var/tmp"), QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation) };
    for (const QString& folder : folders) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + fileName) || info.isWritable()))
            return folder + fileName;
    }
    return {};
}

QString systemReason(int error)
{
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF:
        return QCoreApplication::translate(
            "SerialControl", "the device was removed or became unavailable");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// What the operator reads when a device that reccap had open has disappeared: the system's
// own words for it ("No such file or directory", "Input/output error") name no cause.
QString deviceGoneReason()
{
    return QCoreApplication::translate(
        "SerialControl", "the device is gone: the adapter was unplugged, or its driver removed it");
}

}

QtSerialControl::QtSerialControl(QObject* parent)
    : SerialControl(parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialControl::onPortError);
    // Set before opening, QSerialPort applies them all in the one configuration it makes when
    // it opens; set after, each costs a read and a write of the settings, on every record.
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // QSerialPort holds no more than this, so one read never returns more than the
    // instrument's side can have in flight against a 1024-character buffer.
    m_port.setReadBufferSize(receiveBufferSize);
}

QtSerialControl::~QtSerialControl() { closePort(true); }

void QtSerialControl::setCommPort(int port) { m_commPort = port; }

QString QtSerialControl::portLabel() const
{
    return QStringLiteral("COM%1 (%2)").arg(m_commPort).arg(m_device);
}

bool QtSerialControl::fail(const QString& what, const QString& reason)
{
    // `what` says what failed on the port, which it names where its language puts it.
    m_errorString = QStringLiteral("%1: %2").arg(what.arg(portLabel()), reason);
    return false;
}

bool QtSerialControl::setPortOpen(bool open)
{
    if (open == m_port.isOpen())
        return true;
    if (!open) {
        closePort(true);
        return true;
    }

    m_device = DosDevices::portDevice(m_commPort);
    m_port.setPortName(m_device);
    m_failing = false;
    m_commEvent = 0;
    // QSerialPort reads a lock it finds to learn whether its holder still runs: another user's
    // named pipe there would block the window for good, a huge file would fill the memory.
    const QString lock = qtSerialPortLockPath(m_port.portName());
    if (const QString problem = LockFiles::problem(lock, LockFiles::Owner::Anyone);
        !problem.isEmpty())
        return fail(QCoreApplication::translate("SerialControl", "Cannot open %1"), problem);
    if (!m_port.open(QIODevice::ReadWrite)) {
        if (m_device == m_openedDevice && deviceGone())
            return fail(
                QCoreApplication::translate("SerialControl", "Lost %1"), deviceGoneReason());
        return fail(
            QCoreApplication::translate("SerialControl", "Cannot open %1"), openFailure(lock));
    }
    m_openedDevice = m_device;

    m_decoder.reset();
    m_lastData = std::chrono::steady_clock::now();
    m_unsent.clear();
    m_driverQueueBound = 0;
    m_wakeOnInput = true;
    return true;
}

void QtSerialControl::setWakeOnInput(bool wake)
{
    m_wakeOnInput = wake;
    applyWakeOnInput();
}

void QtSerialControl::applyWakeOnInput()
{
    // QSerialPort's read notifier is what wakes the event loop for arriving bytes, and it
    // reads them into QSerialPort's buffer. Switched off, the bytes wait in the driver until
    // input() reads them itself. QSerialPort switches it on again whenever it is read from.
    const auto notifiers = m_port.findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier* notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read)
            notifier->setEnabled(m_wakeOnInput);
    }
}

QString QtSerialControl::openFailure(const QString& lock) const
{
    const QString reason = m_port.errorString();
    if (m_port.error() != QSerialPort::PermissionError)
        return reason;
    // QSerialPort puts the devices it opens in exclusive use (TIOCEXCL). A pseudo-terminal keeps
    // that for as long as anyone holds its line open, also after the reccap that set it has been
    // killed, and refuses every other open but root's.
    if (reason == QString::fromLocal8Bit(std::strerror(EBUSY)))
        return QCoreApplication::translate("SerialControl",
            "the device is busy: another program has it open, or a reccap that was ended left it "
            "in exclusive use; fuser -v %1 lists the programs that hold it")
            .arg(m_device);
    // A lock that is still there after the open failed is not ours: say whose it is.
    if (const QString owner = LockFiles::ownerOf(lock); !owner.isEmpty())
        return QCoreApplication::translate("SerialControl", "%1; the lock file %2 belongs to %3")
            .arg(reason, lock, owner);
    return reason;
}

bool QtSerialControl::deviceGone() const
{
    // A removed adapter takes its device node with it; a link to it (dosdevices, by-id) is
    // left dangling.
    return !m_device.isEmpty() && !QFileInfo::exists(m_device);
}

void QtSerialControl::closePort(bool flush)
{
    if (!m_port.isOpen())
        return;
    if (m_breakOn) {
        // close() leaves a break standing on the line; the instrument would see a dead link.
        m_port.setBreakEnabled(false);
        m_breakOn = false;
    }
    if (flush) {
        // The record's last ACK may still wait for room in the driver; the instrument waits for
        // it. What waits never exceeds the transmit buffer, about half a second at 9600 baud.
        // What the driver holds, it sends before the device closes.
        const QDeadlineTimer drainLimit(1000);
        while (!m_unsent.isEmpty() && !drainLimit.hasExpired()) {
            pollfd writable { m_port.handle(), POLLOUT, 0 };
            if (::poll(&writable, 1, int(drainLimit.remainingTime())) < 0 && errno != EINTR)
                break;
            if (!sendUnsent())
                return;
        }
    }
    m_unsent.clear();
    m_port.close();
    m_decoder.reset();
}

void QtSerialControl::clearInBuffer()
{
    if (!m_port.isOpen())
        return;
    m_port.clear(QSerialPort::Input);
    m_decoder.reset();
}

QString QtSerialControl::input()
{
    if (!m_port.isOpen())
        return {};
    // Read what the port has buffered; do not wait for readyRead, which QSerialPort does not
    // emit again while the event loop is re-entered from inside a handler.
    const qint64 limit = m_inputLen > 0 ? m_inputLen : receiveBufferSize;
    QByteArray bytes;
    if (m_port.bytesAvailable() > 0) {
        bytes = m_port.read(limit);
        if (!m_wakeOnInput)
            applyWakeOnInput();
    }
    if (!m_wakeOnInput && bytes.size() < limit) {
        bytes += readLine(limit - bytes.size());
        if (!m_port.isOpen())
            return {};
    }
    if (bytes.isEmpty())
        return {};
    m_lastData = std::chrono::steady_clock::now();
    return m_decoder.decode(bytes);
}

QByteArray QtSerialControl::readLine(qint64 limit)
{
    char buffer[receiveBufferSize];
    for (;;) {
        const ssize_t got
            = ::read(m_port.handle(), buffer, size_t(std::min<qint64>(limit, sizeof buffer)));
        if (got >= 0)
            return QByteArray(buffer, got);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            lose(QCoreApplication::translate("SerialControl", "reading failed"),
                systemReason(errno));
        return {};
    }
}

std::chrono::nanoseconds QtSerialControl::silentFor() const
{
    return std::chrono::steady_clock::now() - m_lastData;
}

bool QtSerialControl::output(const QString& text)
{
    if (!m_port.isOpen())
        return fail(QCoreApplication::translate("SerialControl", "Cannot write to %1"),
            QCoreApplication::translate("SerialControl", "the port is closed"));
    // A write that finds the device gone closes the port and reports that through failed(),
    // as a read does; the caller's next poll finds the port closed.
    if (!sendUnsent())
        return true;
    if (m_unsent.size() + m_driverQueueBound >= transmitBufferSize) {
        int queued = 0;
        m_driverQueueBound = ::ioctl(m_port.handle(), TIOCOUTQ, &queued) == 0 ? queued : 0;
        if (m_unsent.size() + m_driverQueueBound >= transmitBufferSize) {
            m_commEvent = eventTransmitBufferFull;
            Q_EMIT onComm();
            return true;
        }
    }
    const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
    if (!bytes)
        return fail(QCoreApplication::translate("SerialControl", "Cannot encode text for %1"),
            QCoreApplication::translate("SerialControl", "not in code page 932"));
    // Written here and now, not through QSerialPort's queue: that would leave it to a later
    // turn of the event loop, with a wake-up of its own to send one byte.
    m_unsent += *bytes;
    sendUnsent();
    return true;
}

bool QtSerialControl::sendUnsent()
{
    while (!m_unsent.isEmpty()) {
        const ssize_t sent
            = ::write(m_port.handle(), m_unsent.constData(), size_t(m_unsent.size()));
        if (sent > 0) {
            m_unsent.remove(0, sent);
            m_driverQueueBound += sent;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN) {
            lose(QCoreApplication::translate("SerialControl", "writing failed"),
                systemReason(errno));
            return false;
        }
        break;
    }
    return true;
}

bool QtSerialControl::setBreak(bool on)
{
    if (!m_port.isOpen())
        return true;
    if (!m_port.setBreakEnabled(on)) {
        if (deviceGone()) {
            lose(on ? QCoreApplication::translate("SerialControl", "setting the break failed")
                    : QCoreApplication::translate("SerialControl", "clearing the break failed"),
                m_port.errorString());
            return false;
        }
        return fail(on
                ? QCoreApplication::translate("SerialControl", "Cannot set a break on %1")
                : QCoreApplication::translate("SerialControl", "Cannot clear the break on %1"),
            m_port.errorString());
    }
    m_breakOn = on;
    return true;
}

void QtSerialControl::onPortError(QSerialPort::SerialPortError error)
{
    QString what;
    switch (error) {
    case QSerialPort::ReadError:
        what = QCoreApplication::translate("SerialControl", "reading failed");
        break;
    case QSerialPort::WriteError:
        what = QCoreApplication::translate("SerialControl", "writing failed");
        break;
    case QSerialPort::ResourceError:
        what = QCoreApplication::translate(
            "SerialControl", "the device was removed or became unavailable");
        break;
    default:
        // Open and configuration errors come back from the call that caused them.
        return;
    }
    lose(what, m_port.errorString());
}

void QtSerialControl::lose(const QString& what, const QString& reason)
{
    // After the device disappears QSerialPort keeps reporting errors while it still calls
    // itself open; one report is enough, and the closed port stops the capture loop.
    if (m_failing)
        return;
    m_failing = true;
    m_breakOn = false;
    closePort(false);
    if (deviceGone())
        fail(QCoreApplication::translate("SerialControl", "Lost %1"), deviceGoneReason());
    else
        fail(QCoreApplication::translate("SerialControl", "Lost %1"),
            what + QStringLiteral(" (") + reason + QLatin1Char(')'));
    Q_EMIT failed(m_errorString);
}

SerialControl* newPortControl(QObject* parent) { return new QtSerialControl(parent); }
