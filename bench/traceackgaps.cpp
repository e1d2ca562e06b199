#include "traceackgaps.h"

#include <QByteArray>
#include <QFile>

namespace {

// The header as the trace spells a read of it, in hex.
const QByteArray headerHex("52303031");

}

std::optional<QList<double>> TraceAckGaps::read(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the trace %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    enum class State { AwaitingHeader, AwaitingHeaderAck, InBody };
    State state = State::AwaitingHeader;
    qint64 lastAckMicros = -1;
    // A header may come in more than one read.
    QByteArray readSinceClear;
    QList<double> gaps;
    bool sawSession = false;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("reccap-trace ")) {
            sawSession = true;
            state = State::AwaitingHeader;
            continue;
        }
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        // "<micros> <event> <rest>": the rest may hold spaces of its own.
        const QList<QByteArray> words = line.split(' ');
        bool ok = false;
        const qint64 micros = words.value(0).toLongLong(&ok);
        if (!ok || words.size() < 2) {
            *error = QStringLiteral("%1: unreadable line \"%2\"")
                         .arg(path, QString::fromUtf8(line.left(80)));
            return std::nullopt;
        }
        const QByteArray& event = words.at(1);
        if (event == "rx") {
            if (state != State::AwaitingHeader)
                continue;
            readSinceClear += words.value(2);
            if (readSinceClear.endsWith(headerHex))
                state = State::AwaitingHeaderAck;
        } else if (event == "tx" && words.value(2) == "06") {
            if (state == State::AwaitingHeaderAck) {
                state = State::InBody;
                lastAckMicros = -1;
            } else if (state == State::InBody) {
                if (lastAckMicros >= 0)
                    gaps << double(micros - lastAckMicros) / 1000.0;
                lastAckMicros = micros;
            }
        } else if (event == "clear" || event == "close" || event == "open") {
            // The discard before the header's ACK is part of the handshake, not a body's end.
            if (state == State::InBody || event != "clear")
                state = State::AwaitingHeader;
            readSinceClear.clear();
        }
    }
    if (!sawSession) {
        *error = QStringLiteral("%1 is not a trace (no session line)").arg(path);
        return std::nullopt;
    }
    return gaps;
}
