#include "win32serialcontrol.h"

#include "cp932encoder.h"
#include "dosdevices.h"
#include "portcontrol.h"

#include <QMetaObject>
#include <QWinEventNotifier>

#include <qt_windows.h>

using Clock = std::chrono::steady_clock;

// One overlapped operation: the structure the system writes its outcome into (it must stay put
// until the operation is over), its event, and for a write the bytes it sends.
struct Win32SerialControl::Overlapped {
    Overlapped()
        : event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        io.hEvent = event;
    }
    ~Overlapped()
    {
        if (event)
            CloseHandle(event);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    OVERLAPPED io {};
    HANDLE event { nullptr };
    DWORD eventMask { 0 };
    QByteArray bytes;
};

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
        text = QStringLiteral("system error");
    return QStringLiteral("%1 (error %2)").arg(text).arg(error);
}

HANDLE handleOf(Qt::HANDLE handle) { return static_cast<HANDLE>(handle); }

}

Win32SerialControl::Win32SerialControl(QObject* parent)
    : SerialControl(parent)
    , m_characterWait(std::make_unique<Overlapped>())
    , m_read(std::make_unique<Overlapped>())
{
    // Lives as long as the control: a lost port is closed from inside the notifier's own
    // signal, where deleting it would pull it from under its caller.
    m_characterNotifier = new QWinEventNotifier(m_characterWait->event, this);
    m_characterNotifier->setEnabled(false);
    connect(m_characterNotifier, &QWinEventNotifier::activated, this,
        &Win32SerialControl::onCharacterWaitDone);
}

Win32SerialControl::~Win32SerialControl()
{
    closePort(true);
    // Before the event it watches is closed with m_characterWait.
    delete m_characterNotifier;
}

void Win32SerialControl::setCommPort(int port) { m_commPort = port; }

QString Win32SerialControl::portLabel() const
{
    return QStringLiteral("COM%1 (\\\\.\\%2)").arg(m_commPort).arg(m_device);
}

bool Win32SerialControl::fail(const QString& what, const QString& reason)
{
    m_errorString = QStringLiteral("%1 %2: %3").arg(what, portLabel(), reason);
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
        return failWithSystemError(QStringLiteral("Cannot open"), GetLastError());
    m_handle = handle;
    if (!configure()) {
        const QString reason = m_errorString;
        closePort(false);
        m_errorString = reason;
        return false;
    }
    m_decoder.reset();
    m_lastInput = Clock::now();
    armCharacterWait();
    return true;
}

bool Win32SerialControl::configure()
{
    const QString what = QStringLiteral("Cannot configure");
    HANDLE handle = handleOf(m_handle);
    if (!SetupComm(handle, receiveBufferSize, transmitBufferSize))
        return failWithSystemError(what, GetLastError());

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
    if (!SetCommState(handle, &dcb))
        return failWithSystemError(what, GetLastError());

    // MAXDWORD, 0, 0: a read returns at once with what the driver holds, even nothing. Writes
    // carry no timeout; they are overlapped and never waited for on the UI thread.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(handle, &timeouts))
        return failWithSystemError(what, GetLastError());
    if (!SetCommMask(handle, EV_RXCHAR))
        return failWithSystemError(what, GetLastError());
    // Whatever arrived before we opened belongs to nobody's record.
    if (!PurgeComm(handle, PURGE_RXCLEAR))
        return failWithSystemError(what, GetLastError());
    return true;
}

void Win32SerialControl::armCharacterWait()
{
    if (!m_handle || m_characterWaitPending)
        return;
    HANDLE handle = handleOf(m_handle);
    Overlapped& wait = *m_characterWait;
    ResetEvent(wait.event);
    wait.io = {};
    wait.io.hEvent = wait.event;
    wait.eventMask = 0;
    if (!WaitCommEvent(handle, &wait.eventMask, &wait.io)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            lose(QStringLiteral("waiting for input failed"), error);
            return;
        }
    }
    // A completed wait also sets the event, so the notifier reports both cases alike.
    m_characterWaitPending = true;
    m_characterNotifier->setEnabled(true);

    // Characters that came in between the caller's read and this wait may not count as new
    // for the driver; a queued wake-up makes the caller look again instead of sleeping.
    COMSTAT status {};
    DWORD errors = 0;
    if (ClearCommError(handle, &errors, &status) && status.cbInQue > 0)
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
}

void Win32SerialControl::onCharacterWaitDone()
{
    // The notifier would fire again and again on the still-set event; the next read re-arms
    // the wait, so a record nobody reads (a message box is up) costs no wake-ups.
    m_characterNotifier->setEnabled(false);
    if (!m_characterWaitPending || !m_handle)
        return;
    m_characterWaitPending = false;
    DWORD unused = 0;
    if (!GetOverlappedResult(handleOf(m_handle), &m_characterWait->io, &unused, FALSE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_OPERATION_ABORTED)
            lose(QStringLiteral("the device was removed or became unavailable"), error);
    }
}

void Win32SerialControl::takeLineErrors(unsigned long* queuedOut)
{
    COMSTAT status {};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(m_handle), &errors, &status))
        return;
    if (queuedOut)
        *queuedOut = status.cbOutQue;
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
}

void Win32SerialControl::clearInBuffer()
{
    if (!m_handle)
        return;
    PurgeComm(handleOf(m_handle), PURGE_RXCLEAR);
    m_decoder.reset();
}

QString Win32SerialControl::input()
{
    if (!m_handle)
        return {};
    takeLineErrors(nullptr);
    if (!m_handle)
        return {};
    const DWORD limit = DWORD(m_inputLen > 0 ? m_inputLen : receiveBufferSize);
    QByteArray bytes(qsizetype(limit), Qt::Uninitialized);
    Overlapped& read = *m_read;
    read.io = {};
    read.io.hEvent = read.event;
    DWORD got = 0;
    if (!ReadFile(handleOf(m_handle), bytes.data(), limit, &got, &read.io)) {
        DWORD error = GetLastError();
        // With the timeouts set at open the read completes at once; only its report is late.
        if (error != ERROR_IO_PENDING
            || !GetOverlappedResult(handleOf(m_handle), &read.io, &got, TRUE)) {
            if (error == ERROR_IO_PENDING)
                error = GetLastError();
            lose(QStringLiteral("reading failed"), error);
            return {};
        }
    }
    armCharacterWait();
    if (got == 0)
        return {};
    m_lastInput = Clock::now();
    bytes.truncate(qsizetype(got));
    return m_decoder.decode(bytes);
}

std::chrono::nanoseconds Win32SerialControl::silentFor() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - m_lastInput);
}

bool Win32SerialControl::reapWrites()
{
    while (!m_writes.empty()) {
        Overlapped& write = *m_writes.front();
        if (!HasOverlappedIoCompleted(&write.io))
            return true;
        DWORD sent = 0;
        if (!GetOverlappedResult(handleOf(m_handle), &write.io, &sent, FALSE)) {
            const DWORD error = GetLastError();
            m_writes.pop_front();
            lose(QStringLiteral("writing failed"), error);
            return false;
        }
        m_writes.pop_front();
    }
    return true;
}

bool Win32SerialControl::output(const QString& text)
{
    if (!m_handle)
        return fail(QStringLiteral("Cannot write to"), QStringLiteral("the port is closed"));
    if (!reapWrites())
        return false;
    unsigned long queued = 0;
    takeLineErrors(&queued);
    for (const auto& write : m_writes)
        queued += static_cast<unsigned long>(write->bytes.size());
    if (queued >= static_cast<unsigned long>(transmitBufferSize)) {
        m_commEvent = eventTransmitBufferFull;
        Q_EMIT onComm();
        return true;
    }
    const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
    if (!bytes)
        return fail(
            QStringLiteral("Cannot encode text for"), QStringLiteral("not in code page 932"));
    if (bytes->isEmpty())
        return true;
    auto write = std::make_unique<Overlapped>();
    write->bytes = *bytes;
    if (!WriteFile(handleOf(m_handle), write->bytes.constData(), DWORD(write->bytes.size()),
            nullptr, &write->io)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return failWithSystemError(QStringLiteral("Cannot write to"), error);
    }
    m_writes.push_back(std::move(write));
    return true;
}

bool Win32SerialControl::setBreak(bool on)
{
    if (!m_handle)
        return true;
    const BOOL done = on ? SetCommBreak(handleOf(m_handle)) : ClearCommBreak(handleOf(m_handle));
    if (!done)
        return failWithSystemError(on ? QStringLiteral("Cannot set a break on")
                                      : QStringLiteral("Cannot clear the break on"),
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
    fail(QStringLiteral("Lost"), what + QStringLiteral(" (") + reason + QLatin1Char(')'));
    Q_EMIT failed(m_errorString);
}

void Win32SerialControl::closePort(bool flush)
{
    if (!m_handle)
        return;
    HANDLE handle = handleOf(m_handle);
    if (m_breakOn) {
        // Closing leaves a break standing on some drivers; the instrument would see a dead link.
        ClearCommBreak(handle);
        m_breakOn = false;
    }
    if (flush) {
        // The record's last ACK is queued just before the close; the instrument waits for it.
        // The queue never exceeds the transmit buffer, about half a second at 9600 baud.
        const auto deadline = Clock::now() + std::chrono::milliseconds(1000);
        for (const auto& write : m_writes) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            WaitForSingleObject(write->event, DWORD(left.count()));
        }
    }
    // The system writes into every pending operation's structure until it is over; each is
    // cancelled and waited for before its memory goes.
    CancelIoEx(handle, nullptr);
    DWORD unused = 0;
    for (const auto& write : m_writes)
        GetOverlappedResult(handle, &write->io, &unused, TRUE);
    m_writes.clear();
    if (m_characterWaitPending) {
        // Changing the mask completes a pending wait on drivers that do not honour the cancel.
        SetCommMask(handle, 0);
        GetOverlappedResult(handle, &m_characterWait->io, &unused, TRUE);
        m_characterWaitPending = false;
    }
    m_characterNotifier->setEnabled(false);
    CloseHandle(handle);
    m_handle = nullptr;
    m_decoder.reset();
}

SerialControl* newPortControl(QObject* parent) { return new Win32SerialControl(parent); }
