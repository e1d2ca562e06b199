#include "fakeserialcontrol.h"

void FakeSerialControl::addReads(const QStringList& chunks)
{
    for (const QString& chunk : chunks)
        m_reads << Read { chunk, {}, false, {} };
    announceData();
}

void FakeSerialControl::addBytes(const QList<QByteArray>& chunks)
{
    for (const QByteArray& chunk : chunks)
        m_reads << Read { {}, chunk, true, {} };
    announceData();
}

void FakeSerialControl::addPause(std::chrono::nanoseconds silence)
{
    m_reads << Read { {}, {}, false, silence };
    announceData();
}

void FakeSerialControl::vanish(const QString& reason)
{
    m_open = false;
    m_breakOn = false;
    m_errorString = reason;
    m_log << QStringLiteral("vanish");
    Q_EMIT failed(reason);
}

void FakeSerialControl::raiseEvent(int code)
{
    m_commEvent = code;
    Q_EMIT onComm();
}

QStringList FakeSerialControl::writes() const
{
    QStringList result;
    for (const QString& entry : m_log) {
        if (entry.startsWith(QLatin1String("write:")))
            result << entry.mid(6);
    }
    return result;
}

bool FakeSerialControl::setPortOpen(bool open)
{
    if (open == m_open)
        return true;
    if (open && !m_openFailure.isEmpty()) {
        m_errorString = m_openFailure;
        return false;
    }
    if (!open)
        m_breakOn = false;
    m_open = open;
    m_wakeOnInput = true;
    m_decoder.reset();
    m_lastData = m_now;
    m_log << (open ? QStringLiteral("open") : QStringLiteral("close"));
    announceData();
    return true;
}

void FakeSerialControl::clearInBuffer()
{
    if (!m_open)
        return;
    m_decoder.reset();
    while (!m_reads.isEmpty() && m_reads.first().arrived)
        m_reads.removeFirst();
    m_log << QStringLiteral("clear");
}

QString FakeSerialControl::input()
{
    if (!m_open)
        return {};
    m_now += characterTime;
    QString chunk;
    if (!m_reads.isEmpty()) {
        const Read read = m_reads.takeFirst();
        m_now += read.pause;
        if (read.isBytes) {
            chunk = m_decoder.decode(read.bytes);
            if (!read.bytes.isEmpty())
                m_lastData = m_now;
        } else {
            chunk = read.text;
            if (!chunk.isEmpty())
                m_lastData = m_now;
        }
    }
    m_log << QStringLiteral("read:") + chunk;
    announceData();
    return chunk;
}

bool FakeSerialControl::output(const QString& text)
{
    if (!m_open) {
        m_errorString = QStringLiteral("the port is closed");
        return false;
    }
    m_log << QStringLiteral("write:") + text;
    if (!m_reply.isNull()) {
        m_reads.prepend(Read { m_reply, {}, false, {}, true });
        m_reply = QString();
        announceData();
    }
    return true;
}

bool FakeSerialControl::setBreak(bool on)
{
    if (!m_open)
        return true;
    m_breakOn = on;
    m_log << (on ? QStringLiteral("break:on") : QStringLiteral("break:off"));
    return true;
}

void FakeSerialControl::announceData()
{
    // A real port wakes the event loop when data arrives; a loop resting until the next
    // event must be woken for the scripted data too.
    if (m_open && !m_reads.isEmpty())
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
}
