#include "qtserialcontrol.h"

#include "cp932encoder.h"
#include "dosdevices.h"
#include "lockfiles.h"
#include "portcontrol.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

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

}

QtSerialControl::QtSerialControl(QObject* parent)
    : SerialControl(parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialControl::onPortError);
}

QtSerialControl::~QtSerialControl() { closePort(true); }

void QtSerialControl::setCommPort(int port) { m_commPort = port; }

QString QtSerialControl::portLabel() const
{
    return QStringLiteral("COM%1 (%2)").arg(m_commPort).arg(m_device);
}

bool QtSerialControl::fail(const QString& what, const QString& reason)
{
    m_errorString = QStringLiteral("%1 %2: %3").arg(what, portLabel(), reason);
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
        return fail(QStringLiteral("Cannot open"), problem);
    if (!m_port.open(QIODevice::ReadWrite))
        return fail(QStringLiteral("Cannot open"), openFailure(lock));

    // QSerialPort holds no more than this, so one read never returns more than the
    // instrument's side can have in flight against a 1024-character buffer.
    m_port.setReadBufferSize(receiveBufferSize);
    const bool configured = m_port.setBaudRate(QSerialPort::Baud9600)
        && m_port.setDataBits(QSerialPort::Data8) && m_port.setParity(QSerialPort::NoParity)
        && m_port.setStopBits(QSerialPort::OneStop)
        && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        const QString reason = m_port.errorString();
        closePort(false);
        return fail(QStringLiteral("Cannot configure"), reason);
    }
    m_decoder.reset();
    m_lastData = std::chrono::steady_clock::now();
    return true;
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
        return QStringLiteral("the device is busy: another program has it open, or a reccap that "
                              "was ended left it in exclusive use; fuser -v %1 lists the "
                              "programs that hold it")
            .arg(m_device);
    // A lock that is still there after the open failed is not ours: say whose it is.
    if (const QString owner = LockFiles::ownerOf(lock); !owner.isEmpty())
        return QStringLiteral("%1; the lock file %2 belongs to %3").arg(reason, lock, owner);
    return reason;
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
        // The record's last ACK is queued just before the close; the instrument waits for it.
        // The queue never exceeds the transmit buffer, about half a second at 9600 baud.
        constexpr int drainLimitMs = 1000;
        m_port.flush();
        if (m_port.bytesToWrite() > 0)
            m_port.waitForBytesWritten(drainLimitMs);
    }
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
    const QByteArray bytes = m_port.read(limit);
    if (bytes.isEmpty())
        return {};
    m_lastData = std::chrono::steady_clock::now();
    return m_decoder.decode(bytes);
}

std::chrono::nanoseconds QtSerialControl::silentFor() const
{
    return std::chrono::steady_clock::now() - m_lastData;
}

bool QtSerialControl::output(const QString& text)
{
    if (!m_port.isOpen())
        return fail(QStringLiteral("Cannot write to"), QStringLiteral("the port is closed"));
    if (m_port.bytesToWrite() >= transmitBufferSize) {
        m_commEvent = eventTransmitBufferFull;
        Q_EMIT onComm();
        return true;
    }
    const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
    if (!bytes)
        return fail(
            QStringLiteral("Cannot encode text for"), QStringLiteral("not in code page 932"));
    if (m_port.write(*bytes) != bytes->size())
        return fail(QStringLiteral("Cannot write to"), m_port.errorString());
    return true;
}

bool QtSerialControl::setBreak(bool on)
{
    if (!m_port.isOpen())
        return true;
    if (!m_port.setBreakEnabled(on))
        return fail(on ? QStringLiteral("Cannot set a break on")
                       : QStringLiteral("Cannot clear the break on"),
            m_port.errorString());
    m_breakOn = on;
    return true;
}

void QtSerialControl::onPortError(QSerialPort::SerialPortError error)
{
    QString what;
    switch (error) {
    case QSerialPort::ReadError:
        what = QStringLiteral("reading failed");
        break;
    case QSerialPort::WriteError:
        what = QStringLiteral("writing failed");
        break;
    case QSerialPort::ResourceError:
        what = QStringLiteral("the device was removed or became unavailable");
        break;
    default:
        // Open and configuration errors come back from the call that caused them.
        return;
    }
    // After the device disappears QSerialPort keeps reporting errors while it still calls
    // itself open; one report is enough, and the closed port stops the capture loop.
    if (m_failing)
        return;
    m_failing = true;
    const QString reason = m_port.errorString();
    m_breakOn = false;
    closePort(false);
    fail(QStringLiteral("Lost"), what + QStringLiteral(" (") + reason + QLatin1Char(')'));
    Q_EMIT failed(m_errorString);
}

SerialControl* newPortControl(QObject* parent) { return new QtSerialControl(parent); }
