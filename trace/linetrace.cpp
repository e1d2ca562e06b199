#include "linetrace.h"

#include "cp932decoder.h"
#include "cp932encoder.h"
#include "traceevent.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <cstdio>

namespace {

using Kind = TraceEvent::Kind;

// A character the decoder could not read comes from bytes we no longer have. 0xFF is never
// code page 932, so it stands for them: read again, it gives the same U+FFFD.
constexpr char unreadableByte = char(0xff);

bool isAscii(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// The code page 932 form of what a read delivered, the way the line carried it.
QByteArray lineBytes(const QString& text)
{
    if (std::optional<QByteArray> bytes = Cp932Encoder::encode(text))
        return *bytes;
    QByteArray bytes;
    const QStringList runs = text.split(QChar::ReplacementCharacter);
    for (qsizetype i = 0; i < runs.size(); ++i) {
        if (i > 0)
            bytes += unreadableByte;
        // The decoder only delivers what the encoder can write back, apart from U+FFFD.
        bytes += Cp932Encoder::encode(runs.at(i)).value_or(QByteArray());
    }
    return bytes;
}

void toStandardError(const QString& message)
{
    std::fprintf(stderr, "reccap: %s\n", qUtf8Printable(message));
    std::fflush(stderr);
}

}

LineTrace::LineTrace(std::unique_ptr<QIODevice> device, const QString& name,
    const QString& programVersion, Complaint complain, Now clock)
    : m_device(std::move(device))
    , m_name(name)
    , m_complain(complain ? std::move(complain) : Complaint(toStandardError))
    , m_now(clock)
{
    const QDateTime now = QDateTime::currentDateTime();
    m_buffer += magic;
    m_buffer += ' ';
    appendNumber(formatVersion);
    m_buffer += " reccap ";
    m_buffer += programVersion.toUtf8();
    m_buffer += ' ';
    m_buffer += now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toLatin1();
    m_buffer += '\n';
    // At once, so that a trace that cannot be written is reported when the program starts and
    // not in the middle of the first record.
    flush();
    // A record's worth of reads and answers, so that noting them does not grow the buffer.
    m_buffer.reserve(16 * 1024);
}

LineTrace::~LineTrace()
{
    begin(TraceEvent::name(Kind::End));
    finish();
    flush();
}

void LineTrace::portOpening()
{
    if (m_started)
        return;
    m_started = true;
    m_origin = m_now();
}

void LineTrace::portOpened()
{
    begin(TraceEvent::name(Kind::Open));
    finish();
}

void LineTrace::portOpenFailed(const QString& why)
{
    begin(TraceEvent::name(Kind::OpenFailed));
    m_buffer += ' ';
    appendQuoted(why);
    finish();
}

void LineTrace::portClosed()
{
    begin(TraceEvent::name(Kind::Close));
    finish();
}

void LineTrace::inputCleared()
{
    begin(TraceEvent::name(Kind::Clear));
    finish();
}

void LineTrace::partialForgotten()
{
    begin(TraceEvent::name(Kind::Forget));
    finish();
}

void LineTrace::received(const QString& text, bool held)
{
    begin(TraceEvent::name(Kind::Received));
    m_buffer += ' ';
    appendHex(text);
    m_buffer += ' ';
    appendQuoted(text);
    if (held)
        m_buffer += " held";
    finish();
}

void LineTrace::sent(const QString& text)
{
    begin(TraceEvent::name(Kind::Sent));
    m_buffer += ' ';
    appendHex(text);
    finish();
}

void LineTrace::sendFailed(const QString& text, const QString& why)
{
    begin(TraceEvent::name(Kind::SendFailed));
    m_buffer += ' ';
    appendHex(text);
    m_buffer += ' ';
    appendQuoted(why);
    finish();
}

void LineTrace::breakSet(bool on)
{
    begin(TraceEvent::name(on ? Kind::BreakOn : Kind::BreakOff));
    m_buffer += on ? " on" : " off";
    finish();
}

void LineTrace::commEvent(int code)
{
    begin(TraceEvent::name(Kind::Comm));
    m_buffer += ' ';
    appendNumber(code);
    finish();
}

void LineTrace::recordWritten(const QByteArray& resultLine)
{
    begin(TraceEvent::name(Kind::Written));
    m_buffer += ' ';
    appendHex(resultLine);
    m_buffer += ' ';
    Cp932Decoder decoder;
    appendQuoted(decoder.decode(resultLine));
    finish();
    flush();
}

void LineTrace::recordRejected(QLatin1String rule, const QString& reason)
{
    begin(TraceEvent::name(Kind::Rejected));
    m_buffer += ' ';
    m_buffer += QByteArray(rule.data(), rule.size());
    if (!reason.isEmpty()) {
        m_buffer += ' ';
        appendQuoted(reason);
    }
    finish();
    flush();
}

void LineTrace::recordAborted(std::chrono::nanoseconds silence, int answers)
{
    begin(TraceEvent::name(Kind::Aborted));
    m_buffer += ' ';
    appendNumber(std::chrono::duration_cast<std::chrono::microseconds>(silence).count());
    m_buffer += ' ';
    appendNumber(answers);
    finish();
    flush();
}

void LineTrace::fatalError(const QString& message)
{
    begin(TraceEvent::name(Kind::Fatal));
    m_buffer += ' ';
    appendQuoted(message);
    finish();
    flush();
}

bool LineTrace::flush()
{
    if (!m_device) {
        m_buffer.clear();
        return false;
    }
    if (m_buffer.isEmpty())
        return true;
    const qint64 written = m_device->write(m_buffer);
    if (written != m_buffer.size()) {
        fail(written < 0 ? m_device->errorString()
                         : QStringLiteral("only %1 of %2 bytes were written")
                               .arg(written)
                               .arg(m_buffer.size()));
        return false;
    }
    // Emptied, not freed: the next record fills it again.
    m_buffer.resize(0);
    m_lastWrite = m_now();
    return true;
}

void LineTrace::fail(const QString& why)
{
    m_complain(QCoreApplication::translate(
        "LineTrace", "cannot write the trace %1: %2; tracing stops, capturing goes on")
                   .arg(m_name, why));
    m_device.reset();
    m_buffer.clear();
}

void LineTrace::begin(QLatin1String kind)
{
    if (m_buffer.isEmpty() && m_device && m_waitingNotice)
        m_waitingNotice();
    m_eventTime = m_now();
    const qint64 micros = m_started
        ? std::chrono::duration_cast<std::chrono::microseconds>(m_eventTime - m_origin).count()
        : 0;
    appendNumber(micros);
    m_buffer += ' ';
    m_buffer += QByteArray(kind.data(), kind.size());
}

void LineTrace::finish()
{
    m_buffer += '\n';
    if (!m_device)
        m_buffer.clear();
    else if (m_buffer.size() >= flushThreshold || m_eventTime - m_lastWrite >= flushInterval)
        flush();
}

void LineTrace::appendNumber(qint64 value)
{
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    quint64 magnitude = negative ? quint64(0) - quint64(value) : quint64(value);
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative)
        m_buffer += '-';
    while (n > 0)
        m_buffer += digits[--n];
}

void LineTrace::appendHex(const QString& text)
{
    // Nearly every read at the line's pace is one character of ASCII, and every send an ACK.
    if (!isAscii(text)) {
        appendHex(lineBytes(text));
        return;
    }
    if (text.isEmpty()) {
        m_buffer += '-';
        return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    for (const QChar c : text) {
        const auto u = static_cast<unsigned char>(c.unicode());
        m_buffer += digits[u >> 4];
        m_buffer += digits[u & 0x0f];
    }
}

void LineTrace::appendHex(const QByteArray& bytes)
{
    if (bytes.isEmpty()) {
        m_buffer += '-';
        return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        m_buffer += digits[u >> 4];
        m_buffer += digits[u & 0x0f];
    }
}

void LineTrace::appendQuoted(const QString& text)
{
    static constexpr char digits[] = "0123456789abcdef";
    m_buffer += '"';
    // UTF-8 puts no byte below 0x80 inside a multi-byte character, so escaping bytes is
    // escaping characters.
    const QByteArray utf8 = isAscii(text) ? text.toLatin1() : text.toUtf8();
    for (const char b : utf8) {
        const auto u = static_cast<unsigned char>(b);
        if (b == '"' || b == '\\') {
            m_buffer += '\\';
            m_buffer += b;
        } else if (u < 0x20 || u == 0x7f) {
            m_buffer += "\\x";
            m_buffer += digits[u >> 4];
            m_buffer += digits[u & 0x0f];
        } else {
            m_buffer += b;
        }
    }
    m_buffer += '"';
}
