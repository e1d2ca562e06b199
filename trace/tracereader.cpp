#include "tracereader.h"

#include "cp932decoder.h"
#include "linetrace.h"

namespace {

using Kind = TraceEvent::Kind;

// One line, taken apart from the left. Every take fails once the line is used up or the text
// there is not of the kind asked for; the line is then refused as a whole.
class LineCursor {
public:
    explicit LineCursor(const QByteArray& line)
        : m_line(line)
    {
    }

    bool atEnd() const { return m_at >= m_line.size(); }

    // The next space-separated word; a single space must stand before every word but the first.
    std::optional<QByteArray> word()
    {
        if (m_at > 0 && !takeSpace())
            return std::nullopt;
        const qsizetype start = m_at;
        while (m_at < m_line.size() && m_line.at(m_at) != ' ')
            ++m_at;
        if (m_at == start)
            return std::nullopt;
        return m_line.mid(start, m_at - start);
    }

    std::optional<qint64> number()
    {
        const std::optional<QByteArray> digits = word();
        // Eighteen digits are far beyond any trace and far from overflow.
        if (!digits || digits->size() > 18)
            return std::nullopt;
        qint64 value = 0;
        for (const char c : *digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + (c - '0');
        }
        return value;
    }

    std::optional<QByteArray> hex()
    {
        const std::optional<QByteArray> digits = word();
        if (!digits)
            return std::nullopt;
        if (*digits == "-")
            return QByteArray();
        if (digits->size() % 2 != 0)
            return std::nullopt;
        for (const char c : *digits) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                return std::nullopt;
        }
        return QByteArray::fromHex(*digits);
    }

    std::optional<QString> quoted()
    {
        if (!takeSpace() || m_at >= m_line.size() || m_line.at(m_at) != '"')
            return std::nullopt;
        ++m_at;
        QByteArray utf8;
        while (m_at < m_line.size()) {
            const char c = m_line.at(m_at++);
            if (c == '"')
                return QString::fromUtf8(utf8);
            if (c != '\\') {
                utf8 += c;
                continue;
            }
            if (m_at >= m_line.size())
                return std::nullopt;
            const char escaped = m_line.at(m_at++);
            if (escaped == '"' || escaped == '\\') {
                utf8 += escaped;
            } else if (escaped == 'x' && m_at + 2 <= m_line.size()) {
                bool ok = false;
                const int code = m_line.mid(m_at, 2).toInt(&ok, 16);
                if (!ok)
                    return std::nullopt;
                utf8 += char(code);
                m_at += 2;
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

private:
    bool takeSpace()
    {
        if (m_at >= m_line.size() || m_line.at(m_at) != ' ')
            return false;
        ++m_at;
        return true;
    }

    const QByteArray& m_line;
    qsizetype m_at { 0 };
};

bool isRuleName(const QByteArray& word)
{
    for (const char c : word) {
        if (!((c >= 'a' && c <= 'z') || c == '-'))
            return false;
    }
    return !word.isEmpty();
}

// The bytes of a read or a result line must read as the text printed beside them: a trace
// edited by hand in one place and not the other would replay something nobody saw.
bool bytesMatchText(const QByteArray& bytes, const QString& text)
{
    Cp932Decoder decoder;
    return decoder.decode(bytes) == text && !decoder.holdsPartialCharacter();
}

// The arguments of one event, after its time and kind; false when they do not fit the kind.
bool readArguments(LineCursor& cursor, TraceEvent& event)
{
    switch (event.kind) {
    case Kind::Open:
    case Kind::Close:
    case Kind::Clear:
    case Kind::Forget:
    case Kind::End:
        return true;
    case Kind::OpenFailed:
    case Kind::Fatal: {
        const std::optional<QString> message = cursor.quoted();
        event.text = message.value_or(QString());
        return message.has_value();
    }
    case Kind::Received:
    case Kind::Written: {
        const std::optional<QByteArray> bytes = cursor.hex();
        const std::optional<QString> text = bytes ? cursor.quoted() : std::nullopt;
        if (!text)
            return false;
        event.bytes = *bytes;
        event.text = *text;
        if (event.kind == Kind::Received && !cursor.atEnd()) {
            if (cursor.word() != QByteArray("held"))
                return false;
            event.held = true;
        }
        return true;
    }
    case Kind::Sent: {
        const std::optional<QByteArray> bytes = cursor.hex();
        event.bytes = bytes.value_or(QByteArray());
        return bytes && !bytes->isEmpty();
    }
    case Kind::SendFailed: {
        const std::optional<QByteArray> bytes = cursor.hex();
        const std::optional<QString> message = bytes ? cursor.quoted() : std::nullopt;
        event.bytes = bytes.value_or(QByteArray());
        event.text = message.value_or(QString());
        return message.has_value();
    }
    case Kind::BreakOn:
    case Kind::BreakOff: {
        const std::optional<QByteArray> state = cursor.word();
        if (state == QByteArray("on"))
            event.kind = Kind::BreakOn;
        else if (state == QByteArray("off"))
            event.kind = Kind::BreakOff;
        else
            return false;
        return true;
    }
    case Kind::Comm: {
        const std::optional<qint64> code = cursor.number();
        event.number = code.value_or(0);
        return code && *code <= 65535;
    }
    case Kind::Rejected: {
        const std::optional<QByteArray> rule = cursor.word();
        if (!rule || !isRuleName(*rule))
            return false;
        event.text = QString::fromLatin1(*rule);
        // Traces from before the reasons were given end at the rule.
        if (cursor.atEnd())
            return true;
        const std::optional<QString> reason = cursor.quoted();
        event.reason = reason.value_or(QString());
        return reason.has_value();
    }
    case Kind::Aborted: {
        const std::optional<qint64> silence = cursor.number();
        const std::optional<qint64> answers = silence ? cursor.number() : std::nullopt;
        event.number = silence.value_or(0);
        event.answers = int(answers.value_or(0));
        return answers && *answers <= 1'000'000'000;
    }
    }
    return false;
}

QString atLine(int line, const QString& what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

QString tooLong()
{
    return QStringLiteral("longer than the %1 bytes a trace line may have; this is no trace")
        .arg(TraceReader::maxLineBytes);
}

}

std::optional<QList<TraceReader::Session>> TraceReader::parse(
    const QByteArray& data, QString* error)
{
    const auto refuse = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    if (data.isEmpty())
        return refuse(QStringLiteral("the trace is empty"));

    QList<Session> sessions;
    const QList<QByteArray> lines = data.split('\n');
    // split() leaves an empty last piece after the final line end; anything else there is a
    // line the writer never finished.
    const qsizetype complete = lines.size() - 1;
    if (!lines.constLast().isEmpty())
        return refuse(atLine(int(complete + 1),
            QStringLiteral("cut off before its end (the trace was not written to the end)")));

    for (qsizetype i = 0; i < complete; ++i) {
        const int number = int(i + 1);
        QByteArray line = lines.at(i);
        if (line.size() > maxLineBytes)
            return refuse(atLine(number, tooLong()));
        // A trace that went through a Windows editor keeps its meaning.
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith('#'))
            continue;
        if (line.isEmpty())
            return refuse(atLine(number, QStringLiteral("empty")));

        LineCursor cursor(line);
        if (line.startsWith(LineTrace::magic)) {
            if (cursor.word() != QByteArray(LineTrace::magic))
                return refuse(
                    atLine(number, QStringLiteral("neither a session line nor an event")));
            const std::optional<qint64> format = cursor.number();
            if (!format)
                return refuse(atLine(number,
                    QStringLiteral("no format number after %1")
                        .arg(QLatin1String(LineTrace::magic))));
            if (*format != knownFormat)
                return refuse(atLine(number,
                    QStringLiteral("trace format %1 is unknown; this program reads format %2")
                        .arg(*format)
                        .arg(knownFormat)));
            const std::optional<QByteArray> program = cursor.word();
            const std::optional<QByteArray> version = program ? cursor.word() : std::nullopt;
            const std::optional<QByteArray> started = version ? cursor.word() : std::nullopt;
            if (program != QByteArray("reccap") || !started || !cursor.atEnd())
                return refuse(atLine(number,
                    QStringLiteral("a session line reads \"%1 %2 reccap VERSION START\"")
                        .arg(QLatin1String(LineTrace::magic))
                        .arg(knownFormat)));
            Session session;
            session.format = int(*format);
            session.programVersion = QString::fromUtf8(*version);
            session.started = QString::fromUtf8(*started);
            session.line = number;
            sessions.append(session);
            continue;
        }
        if (sessions.isEmpty())
            return refuse(atLine(number,
                QStringLiteral("no session line (\"%1 ...\") before the first event")
                    .arg(QLatin1String(LineTrace::magic))));

        TraceEvent event;
        event.line = number;
        const std::optional<qint64> micros = cursor.number();
        if (!micros)
            return refuse(atLine(number, QStringLiteral("no time in microseconds")));
        const std::optional<QByteArray> kindWord = cursor.word();
        const std::optional<Kind> kind = kindWord ? TraceEvent::kindNamed(*kindWord) : std::nullopt;
        if (!kind)
            return refuse(atLine(number,
                QStringLiteral("unknown event \"%1\"")
                    .arg(QString::fromUtf8(kindWord.value_or(QByteArray())))));
        event.micros = *micros;
        event.kind = *kind;
        if (!readArguments(cursor, event) || !cursor.atEnd())
            return refuse(atLine(number,
                QStringLiteral("the %1 event is incomplete or malformed")
                    .arg(QString::fromUtf8(*kindWord))));
        if ((event.kind == Kind::Received || event.kind == Kind::Written)
            && !bytesMatchText(event.bytes, event.text))
            return refuse(
                atLine(number, QStringLiteral("the bytes do not read as the text beside them")));
        QList<TraceEvent>& events = sessions.last().events;
        if (!events.isEmpty() && event.micros < events.constLast().micros)
            return refuse(atLine(number, QStringLiteral("the time goes backwards")));
        events.append(event);
    }
    if (sessions.isEmpty())
        return refuse(QStringLiteral("the trace holds no session line"));
    return sessions;
}

std::optional<QByteArray> TraceReader::read(QIODevice& device, QString* error)
{
    QByteArray data;
    for (int number = 1;; ++number) {
        // Room for more than the longest line and its line end: a line that does not end
        // within it is longer than that.
        const QByteArray line = device.readLine(maxLineBytes + 3);
        if (line.isEmpty())
            break;
        const bool ended = line.endsWith('\n');
        if ((!ended && !device.atEnd()) || line.size() - (ended ? 1 : 0) > maxLineBytes) {
            *error = atLine(number, tooLong());
            return std::nullopt;
        }
        data += line;
    }
    if (!device.atEnd()) {
        *error = device.errorString();
        return std::nullopt;
    }
    return data;
}
