#include "win32serialcontrol.h"

#include "cp932encoder.h"
#include "dosdevices.h"
#include "portcontrol.h"
#include "win32requests.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>

#include <qt_windows.h>
#include <utility>

using Clock = std::chrono::steady_clock;

namespace {

QString systemMessage(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text;
    if (length > 0 && buffer)
        text = QString::fromWCharArray(buffer, int(length)).trimmed();
    LocalFree(buffer);
    if (text.isEmpty())
        text = QCoreApplication::translate("SerialControl", "system error");
    return QStringLiteral("%1 (error %2)").arg(text).arg(error);
}

HANDLE handleOf(Qt::HANDLE handle) { return static_cast<HANDLE>(handle); }

// A read of what the driver holds finishes at once, and a record's last ACK leaves within a
// few character times; either one unfinished by then never will: the device is gone.
constexpr DWORD transferLimitMs = 2000;

// How often a quiet line is asked whether its device is still there: the loss is reported
// within about this long, at one wake-up per period.
constexpr int lineCheckMs = 1000;

// Flow control stays off, but drivers check its settings all the same: SetCommState refuses
// a state whose XonChar equals XoffChar, which some adapters report both as 0, and limits
// that do not fit in the receive buffer. These are the usual DC1 and DC3 and a quarter of the
// buffer each way.
constexpr char xonCharacter = 0x11;
constexpr char xoffCharacter = 0x13;
constexpr WORD flowControlLimit = Win32SerialControl::receiveBufferSize / 4;

// A write that fails with one of these found the device gone, as a failed read does: the
// adapter was pulled, its driver stopped, or the port was taken away from the handle. Anything
// else (a refused setting, a full queue) is a fault of the write itself.
bool meansDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_OPERATION_ABORTED:
        return true;
    default:
        return false;
    }
}

}

Win32SerialControl::Win32SerialControl(QObject* parent)
    : SerialControl(parent)
    , m_watch(std::make_unique<Win32Request>())
    , m_read(std::make_unique<Win32Request>())
    , m_write(std::make_unique<Win32Request>())
    , m_watchNotifier(new QWinEventNotifier(m_watch->event, this))
    , m_lineCheck(new QTimer(this))
{
    m_lineCheck->setInterval(lineCheckMs);
    m_lineCheck->setTimerType(Qt::CoarseTimer);
    connect(m_lineCheck, &QTimer::timeout, this, &Win32SerialControl::checkQuietLine);
    m_watchNotifier->setEnabled(false);
    // The event is the wake-up; the caller's next poll takes the byte. Left enabled, a
    // completed watch would signal again and again.
    connect(m_watchNotifier, &QWinEventNotifier::activated, this,
        [this] { m_watchNotifier->setEnabled(false); });
}

Win32SerialControl::~Win32SerialControl() { closePort(true); }

void Win32SerialControl::setCommPort(int port) { m_commPort = port; }

QString Win32SerialControl::portLabel() const
{
    return QStringLiteral("COM%1 (\\\\.\\%2)").arg(m_commPort).arg(m_device);
}

bool Win32SerialControl::fail(const QString& what, const QString& reason)
{
    // `what` says what failed on the port, which it names where its language puts it.
    m_errorString = QStringLiteral("%1: %2").arg(what.arg(portLabel()), reason);
    return false;
}

bool Win32SerialControl::failWithSystemError(const QString& what, unsigned long error)
{
    return fail(what, systemMessage(error));
}

bool Win32SerialControl::setPortOpen(bool open)
{
    if (open == portOpen())
        return true;
    if (!open) {
        closePort(true);
        return true;
    }

    m_device = DosDevices::portDevice(m_commPort);
    m_commEvent = 0;
    // The device namespace prefix: without it ports above COM9 cannot be opened at all.
    const std::wstring path = (QStringLiteral("\\\\.\\") + m_device).toStdWString();
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failWithSystemError(
            QCoreApplication::translate("SerialControl", "Cannot open %1"), GetLastError());
    m_handle = handle;
    if (!configure()) {
        const QString reason = m_errorString;
        closePort(false);
        m_errorString = reason;
        return false;
    }
    m_decoder.reset();
    m_lastInput = Clock::now();
    m_wakeOnInput = true;
    m_driverQueueBound = 0;
    if (!issueReceiveWatch()) {
        const DWORD error = GetLastError();
        closePort(false);
        return failWithSystemError(
            QCoreApplication::translate("SerialControl", "Cannot read from %1"), error);
    }
    m_lineCheck->start();
    return true;
}

bool Win32SerialControl::configure()
{
    const QString what = QCoreApplication::translate("SerialControl", "Cannot configure %1");
    HANDLE handle = handleOf(m_handle);
    // Only a recommendation: the driver is free to keep buffers of its own size, and some
    // refuse the call. The 1024 and 512 characters are kept by our own checks (the read limit
    // in input(), the transmit-buffer check in output()), so a refusal changes nothing.
    SetupComm(handle, receiveBufferSize, transmitBufferSize);

    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return failWithSystemError(what, GetLastError());
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A line error would otherwise stop every read and write until ClearCommError; the errors
    // are collected at each read instead.
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = xonCharacter;
    dcb.XoffChar = xoffCharacter;
    dcb.XonLim = flowControlLimit;
    dcb.XoffLim = flowControlLimit;
    // Reserved, and to be zero, whatever GetCommState left in it.
    dcb.wReserved = 0;
    if (!SetCommState(handle, &dcb))
        return failWithSystemError(what, GetLastError());

    // No timeouts: a read waits for as many bytes as it asks for. Polls ask only for what the
    // driver holds; the receive watch asks for one byte and waits for it.
    COMMTIMEOUTS timeouts {};
    if (!SetCommTimeouts(handle, &timeouts))
        return failWithSystemError(what, GetLastError());
    // No purge here: a driver keeps nothing while the port is closed, and the capture loop
    // clears the input itself where the protocol says so, each time in the line's trace.
    return true;
}

Win32SerialControl::LineStatus Win32SerialControl::takeLineStatus()
{
    COMSTAT status {};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(m_handle), &errors, &status)) {
        lose(QCoreApplication::translate(
                 "SerialControl", "the device was removed or became unavailable"),
            GetLastError());
        return {};
    }
    int event = 0;
    if (errors & CE_BREAK)
        event = eventBreak;
    else if (errors & CE_FRAME)
        event = eventFrame;
    else if (errors & CE_OVERRUN)
        event = eventOverrun;
    else if (errors & CE_RXOVER)
        event = eventRxOver;
    else if (errors & CE_RXPARITY)
        event = eventRxParity;
    if (event != 0) {
        m_commEvent = event;
        Q_EMIT onComm();
    }
    return { true, status.cbInQue, status.cbOutQue };
}

bool Win32SerialControl::readQueued(char* data, unsigned long size, unsigned long* done)
{
    HANDLE handle = handleOf(m_handle);
    // The driver reads into the request's own bytes, which outlive it if it is abandoned.
    m_read->buffer.resize(qsizetype(size));
    OVERLAPPED& overlapped = m_read->fresh();
    *done = 0;
    const BOOL finished = ReadFile(handle, m_read->buffer.data(), size, nullptr, &overlapped);
    if (!finished && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (!finished && WaitForSingleObject(overlapped.hEvent, transferLimitMs) != WAIT_OBJECT_0) {
        Win32Requests::cancel(handle, m_read);
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    DWORD count = 0;
    const BOOL ok = GetOverlappedResult(handle, &overlapped, &count, FALSE);
    *done = count;
    std::copy_n(m_read->buffer.constData(), count, data);
    return ok;
}

bool Win32SerialControl::issueReceiveWatch()
{
    if (m_watchArmed)
        return true;
    // Done at once (a byte came in since the poll looked) or pending, the watch's event and
    // its notifier carry it to the next poll the same way.
    m_watch->buffer.resize(1);
    if (!ReadFile(handleOf(m_handle), m_watch->buffer.data(), 1, nullptr, &m_watch->fresh())
        && GetLastError() != ERROR_IO_PENDING)
        return false;
    m_watchArmed = true;
    m_watchNotifier->setEnabled(true);
    return true;
}

void Win32SerialControl::armReceiveWatch()
{
    if (m_handle && !issueReceiveWatch())
        lose(QCoreApplication::translate("SerialControl", "reading failed"), GetLastError());
}

bool Win32SerialControl::takeReceiveWatch(QByteArray& arrived)
{
    m_watchArmed = false;
    m_watchNotifier->setEnabled(false);
    DWORD got = 0;
    if (!GetOverlappedResult(handleOf(m_handle), &m_watch->overlapped, &got, FALSE)) {
        lose(QCoreApplication::translate("SerialControl", "reading failed"), GetLastError());
        return false;
    }
    if (got == 1)
        arrived.append(m_watch->buffer.at(0));
    return true;
}

bool Win32SerialControl::cancelReceiveWatch()
{
    if (!m_watchArmed)
        return true;
    m_watchArmed = false;
    m_watchNotifier->setEnabled(false);
    if (Win32Requests::cancel(handleOf(m_handle), m_watch))
        return true;
    // The abandoned read keeps its event; the next watch has one of its own.
    m_watchNotifier->setHandle(m_watch->event);
    return false;
}

void Win32SerialControl::checkQuietLine()
{
    // A completed watch has woken the event loop already, and the next poll learns from it
    // what happened; only a read left standing leaves the loss for this check to find.
    if (!m_handle || !m_watchArmed || HasOverlappedIoCompleted(&m_watch->overlapped))
        return;
    takeLineStatus();
}

void Win32SerialControl::clearInBuffer()
{
    if (!m_handle)
        return;
    if (!cancelReceiveWatch()) {
        lose(QCoreApplication::translate("SerialControl", "the driver kept a cancelled read"),
            ERROR_TIMEOUT);
        return;
    }
    PurgeComm(handleOf(m_handle), PURGE_RXCLEAR);
    m_decoder.reset();
    if (m_wakeOnInput)
        armReceiveWatch();
}

QString Win32SerialControl::input()
{
    if (!m_handle)
        return {};
    QByteArray bytes;
    if (m_watchArmed) {
        // Any byte that arrived has completed the watch: a poll of a quiet line costs nothing.
        if (!HasOverlappedIoCompleted(&m_watch->overlapped))
            return {};
        if (!takeReceiveWatch(bytes))
            return {};
    }
    const LineStatus status = takeLineStatus();
    // A handler connected to onComm may have closed the port.
    if (!status.ok || !m_handle)
        return {};
    const qsizetype limit = m_inputLen > 0 ? m_inputLen : receiveBufferSize;
    const qsizetype wanted = std::min<qsizetype>(limit - bytes.size(), status.queuedIn);
    if (wanted > 0) {
        const qsizetype held = bytes.size();
        bytes.resize(held + wanted);
        unsigned long got = 0;
        if (!readQueued(bytes.data() + held, DWORD(wanted), &got)) {
            lose(QCoreApplication::translate("SerialControl", "reading failed"), GetLastError());
            return {};
        }
        bytes.truncate(held + qsizetype(got));
    }
    // Whatever the caller does next, a rest until the next event included, the next byte
    // wakes it.
    if (m_wakeOnInput)
        armReceiveWatch();
    if (bytes.isEmpty())
        return {};
    m_lastInput = Clock::now();
    return m_decoder.decode(bytes);
}

std::chrono::nanoseconds Win32SerialControl::silentFor() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - m_lastInput);
}

bool Win32SerialControl::output(const QString& text)
{
    if (!m_handle)
        return fail(QCoreApplication::translate("SerialControl", "Cannot write to %1"),
            QCoreApplication::translate("SerialControl", "the port is closed"));
    if (!collectWrite())
        return false;
    const auto limit = static_cast<unsigned long>(transmitBufferSize);
    if (m_waiting.size() + m_driverQueueBound >= limit) {
        const LineStatus status = takeLineStatus();
        if (!status.ok || !m_handle)
            return false;
        m_driverQueueBound = status.queuedOut;
        if (m_waiting.size() + m_driverQueueBound >= limit) {
            m_commEvent = eventTransmitBufferFull;
            Q_EMIT onComm();
            return true;
        }
    }
    const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
    if (!bytes)
        return fail(QCoreApplication::translate("SerialControl", "Cannot encode text for %1"),
            QCoreApplication::translate("SerialControl", "not in code page 932"));
    m_waiting += *bytes;
    return startWrite();
}

// Takes in the write in flight once the driver has finished it. A driver finishes a write
// only when its bytes have left, about a character time for an ACK; waiting for that would
// put the loop to sleep for most of every poll.
bool Win32SerialControl::collectWrite()
{
    if (!m_writeInFlight || !HasOverlappedIoCompleted(&m_write->overlapped))
        return true;
    m_writeInFlight = false;
    DWORD count = 0;
    const bool done = GetOverlappedResult(handleOf(m_handle), &m_write->overlapped, &count, FALSE);
    const DWORD error = GetLastError();
    QByteArray& writing = m_write->buffer;
    if (count < DWORD(writing.size()))
        m_waiting.prepend(writing.mid(count));
    writing.clear();
    if (!done)
        return writeFailed(error);
    return startWrite();
}

bool Win32SerialControl::startWrite()
{
    if (m_writeInFlight || m_waiting.isEmpty())
        return true;
    // The bytes go with the request: an abandoned write keeps them.
    QByteArray& writing = m_write->buffer;
    writing = std::exchange(m_waiting, QByteArray());
    if (!WriteFile(handleOf(m_handle), writing.constData(), DWORD(writing.size()), nullptr,
            &m_write->fresh())
        && GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        m_waiting = std::exchange(writing, QByteArray());
        return writeFailed(error);
    }
    m_writeInFlight = true;
    m_driverQueueBound += writing.size();
    return true;
}

bool Win32SerialControl::writeFailed(unsigned long error)
{
    // While the port closes, the loss would close it a second time from inside its own close.
    if (m_closing || !meansDeviceGone(error))
        return failWithSystemError(
            QCoreApplication::translate("SerialControl", "Cannot write to %1"), error);
    lose(QCoreApplication::translate("SerialControl", "writing failed"), error);
    return false;
}

// With `flush`, what waits goes out first, within the time the driver needs for a transmit
// buffer at most; then, or at once without it, a write still in flight is called off.
void Win32SerialControl::settleWrites(bool flush)
{
    HANDLE handle = handleOf(m_handle);
    const QDeadlineTimer limit(transferLimitMs);
    while (flush && (m_writeInFlight || !m_waiting.isEmpty()) && !limit.hasExpired()) {
        if (m_writeInFlight
            && WaitForSingleObject(m_write->overlapped.hEvent, DWORD(limit.remainingTime()))
                != WAIT_OBJECT_0)
            break;
        if (!collectWrite() || !startWrite())
            break;
    }
    if (m_writeInFlight) {
        // The port closes either way; a write the driver keeps stays with it.
        Win32Requests::cancel(handle, m_write);
        m_writeInFlight = false;
    }
    m_write->buffer.clear();
    m_waiting.clear();
}

bool Win32SerialControl::setBreak(bool on)
{
    if (!m_handle)
        return true;
    const BOOL done = on ? SetCommBreak(handleOf(m_handle)) : ClearCommBreak(handleOf(m_handle));
    if (!done)
        return failWithSystemError(on
                ? QCoreApplication::translate("SerialControl", "Cannot set a break on %1")
                : QCoreApplication::translate("SerialControl", "Cannot clear the break on %1"),
            GetLastError());
    m_breakOn = on;
    return true;
}

void Win32SerialControl::lose(const QString& what, unsigned long error)
{
    // One report is enough: the closed port stops the capture loop at its next poll.
    if (!m_handle)
        return;
    const QString reason = systemMessage(error);
    m_breakOn = false;
    closePort(false);
    fail(QCoreApplication::translate("SerialControl", "Lost %1"),
        what + QStringLiteral(" (") + reason + QLatin1Char(')'));
    Q_EMIT failed(m_errorString);
}

void Win32SerialControl::closePort(bool flush)
{
    if (!m_handle)
        return;
    m_closing = true;
    m_lineCheck->stop();
    cancelReceiveWatch();
    HANDLE handle = handleOf(m_handle);
    if (m_breakOn) {
        // Closing leaves a break standing on some drivers; the instrument would see a dead link.
        ClearCommBreak(handle);
        m_breakOn = false;
    }
    // The record's last ACK goes out before the handle closes, unless the device is gone.
    settleWrites(flush);
    if (flush)
        FlushFileBuffers(handle);
    CloseHandle(handle);
    m_handle = nullptr;
    m_decoder.reset();
    m_closing = false;
}

SerialControl* newPortControl(QObject* parent) { return new Win32SerialControl(parent); }
