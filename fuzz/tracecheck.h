#pragma once

#include "cp932decoder.h"
#include "tracereader.h"

#include <QString>

// Properties of the trace reader for any bytes: it refuses with a message that says where, or
// accepts only what a replay can trust. Returns a description of the first property that
// fails, or an empty string. Shared by the fuzzer, which aborts on an answer, and by the
// regression test, which replays saved inputs through it.
namespace TraceCheck {

inline QString describe(const QString& what, const QByteArray& bytes)
{
    return what
        + QStringLiteral(" (input %1)").arg(QString::fromLatin1(bytes.left(200).toHex(' ')));
}

inline QString run(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const std::optional<QList<TraceReader::Session>> sessions = TraceReader::parse(bytes, &error);
    if (!sessions) {
        if (error.isEmpty())
            return describe(QStringLiteral("refused without a reason"), bytes);
        return {};
    }
    if (sessions->isEmpty())
        return describe(QStringLiteral("accepted with no session"), bytes);
    if (!bytes.endsWith('\n'))
        return describe(QStringLiteral("accepted a trace whose last line is cut off"), bytes);

    for (const TraceReader::Session& session : *sessions) {
        if (session.format != TraceReader::knownFormat)
            return describe(QStringLiteral("accepted an unknown format"), bytes);
        qint64 previous = 0;
        for (const TraceEvent& event : session.events) {
            if (event.micros < previous)
                return describe(QStringLiteral("accepted time going backwards"), bytes);
            previous = event.micros;
            // A replay sends the bytes; a reader of the trace reads the text. They must agree.
            if (event.kind == TraceEvent::Kind::Received
                || event.kind == TraceEvent::Kind::Written) {
                Cp932Decoder decoder;
                if (decoder.decode(event.bytes) != event.text)
                    return describe(
                        QStringLiteral("accepted bytes that do not read as their text"), bytes);
            }
            if (event.kind == TraceEvent::Kind::Sent && event.bytes.isEmpty())
                return describe(QStringLiteral("accepted a send of nothing"), bytes);
        }
    }

    // A trace cut short by a crash or a full disk, anywhere inside its last line, is refused,
    // never read as if it had ended there. The cut falls where the input's length says.
    const qsizetype cut = qsizetype(size % 97) + 1;
    if (cut < bytes.size() && bytes.at(cut - 1) != '\n' && bytes.at(cut - 1) != '\r'
        && bytes.left(cut).count('\n') > 0) {
        QString cutError;
        if (TraceReader::parse(bytes.left(cut), &cutError))
            return describe(QStringLiteral("accepted a trace cut off inside a line"), bytes);
    }
    return {};
}

}
