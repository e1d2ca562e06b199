#include "tracingserialcontrol.h"

TracingSerialControl::TracingSerialControl(
    SerialControl* inner, std::unique_ptr<LineTrace> trace, QObject* parent)
    : SerialControl(parent)
    , m_inner(inner)
    , m_trace(std::move(trace))
{
    m_inner->setParent(this);
    // The header wait sleeps until the line speaks; what it noted last must not wait for that.
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setTimerType(Qt::CoarseTimer);
    m_flushTimer.setInterval(LineTrace::flushInterval);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_trace->flush(); });
    m_trace->setWaitingNotice([this] {
        if (!m_flushTimer.isActive())
            m_flushTimer.start();
    });
    connect(m_inner, &SerialControl::onComm, this, &TracingSerialControl::onInnerComm);
    connect(m_inner, &SerialControl::failed, this, &TracingSerialControl::onInnerFailed);
}

// The trace goes first, noting its end; the inner control, a child, closes its port after.
TracingSerialControl::~TracingSerialControl() = default;

bool TracingSerialControl::setPortOpen(bool open)
{
    const bool wasOpen = m_inner->portOpen();
    if (open && !wasOpen) {
        // What the last record left goes out now, while the line is still closed.
        m_trace->flush();
        m_trace->portOpening();
    }
    const bool done = m_inner->setPortOpen(open);
    if (open && !wasOpen) {
        if (done)
            m_trace->portOpened();
        else
            m_trace->portOpenFailed(m_inner->errorString());
    }
    if (!open) {
        if (wasOpen)
            m_trace->portClosed();
        // Every way out of the program closes the port (the window's close, a signal, a fatal
        // failure, the exit hook when the display goes away), so this is where the trace
        // reaches the disk.
        m_trace->flush();
    }
    return done;
}

void TracingSerialControl::clearInBuffer()
{
    if (m_inner->portOpen())
        m_trace->inputCleared();
    m_inner->clearInBuffer();
}

QString TracingSerialControl::input()
{
    const bool heldBefore = m_inner->holdsPartialCharacter();
    QString text = m_inner->input();
    const bool held = m_inner->holdsPartialCharacter();
    // A read that brought only the first byte of a double-byte character delivers no text,
    // but it is a read of its own on the line.
    if (!text.isEmpty() || (held && !heldBefore))
        m_trace->received(text, held);
    return text;
}

void TracingSerialControl::forgetPartialCharacter()
{
    if (m_inner->holdsPartialCharacter())
        m_trace->partialForgotten();
    m_inner->forgetPartialCharacter();
}

bool TracingSerialControl::output(const QString& text)
{
    const int eventsBefore = m_events;
    const bool done = m_inner->output(text);
    // With the transmit buffer full the text is dropped without a failure; the OnComm event
    // already noted says so, and a "tx" would claim bytes the line never carried.
    const bool dropped
        = m_events != eventsBefore && m_inner->commEvent() == eventTransmitBufferFull;
    // A write that found the device gone closed the port and reported it through failed().
    if (done && !dropped && m_inner->portOpen())
        m_trace->sent(text);
    else if (!done)
        m_trace->sendFailed(text, m_inner->errorString());
    return done;
}

bool TracingSerialControl::setBreak(bool on)
{
    const bool open = m_inner->portOpen();
    const bool done = m_inner->setBreak(on);
    if (open && done)
        m_trace->breakSet(on);
    return done;
}

void TracingSerialControl::onInnerComm()
{
    ++m_events;
    m_trace->commEvent(m_inner->commEvent());
    Q_EMIT onComm();
}

void TracingSerialControl::onInnerFailed(const QString& message)
{
    m_trace->fatalError(message);
    // The failure closed the port; nothing calls us between here and the program's end.
    m_trace->flush();
    Q_EMIT failed(message);
}
