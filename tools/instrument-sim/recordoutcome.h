#pragma once

#include <QString>

// How one record went, as far as the instrument can tell from its end of the line.
struct RecordOutcome {
    int number { 0 };
    bool headerAcked { false };
    // ACKs after the header's own: one per poll of the receiver's body wait.
    qint64 bodyAcks { 0 };
    int headerSends { 0 };
    // Bytes other than ACK from the receiver; it should never send any.
    qint64 otherBytes { 0 };
    // sent, aborted, unanswered, incomplete, timeout, stopped or failed.
    QString result;

    bool wentAsPlanned() const
    {
        return result == QLatin1String("sent") || result == QLatin1String("aborted")
            || result == QLatin1String("unanswered") || result == QLatin1String("incomplete");
    }

    QString toString() const
    {
        return QStringLiteral("record %1: header-ack=%2 acks=%3 header-sends=%4 other=%5 result=%6")
            .arg(number)
            .arg(headerAcked ? 1 : 0)
            .arg(bodyAcks)
            .arg(headerSends)
            .arg(otherBytes)
            .arg(result);
    }
};
