#pragma once

#include "tracereader.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The instrument's side of a trace session, as steps to play again and answers to expect.
//
// What the instrument sent is what the receiver read: one write per read of the trace, in
// order. Before each write the instrument waits for what the trace shows it waited for: the
// receiver's discards since the read before (a reopened port discards its input, so a header
// sent earlier would be lost), an ACK when the receiver answered in between, and the time
// that passed on the desk's line. A read that ended on the first byte of a double-byte
// character takes that byte from the next read's character, so that the receiver holds it
// back just as it did.
//
// Records are counted by their outcomes in the trace (written, rejected, abort, fatal). A
// record's answers are those between its first read and the next record's first read; the
// first ACK among them is the header's.
class ReplayPlan {
public:
    struct Step {
        QByteArray bytes;
        int record { 0 };
        // Discards the receiver must have made since the previous write.
        int discardsBefore { 0 };
        // The receiver answered between the previous read and this one.
        bool ackBefore { false };
        // From the previous read, or from the last of those discards, to this read.
        qint64 gapMicros { 0 };
        // The read ended on a held first byte (already moved here from the next read).
        bool held { false };
        // The receiver rejected a record since the previous read: its box stands until the
        // operator answers it, and only then does the port open again for this read.
        bool afterBox { false };
        int traceLine { 0 };
    };
    struct Record {
        int number { 0 };
        bool headerAcked { false };
        qint64 bodyAcks { 0 };
        int discards { 0 };
        // "written", "rejected <rule>", "abort", "fatal", or empty when the session ended
        // before the record did.
        QString outcome;
        // The result line, for a written record.
        QByteArray resultLine;
        // The record's first step, or -1 when it has none (a fatal failure before any read).
        int firstStep { -1 };
    };

    // A stand-in first byte of a double-byte character where the trace no longer knows the
    // real one: 0x85 starts no character of code page 932, and followed by 0x40 it makes the
    // one U+FFFD that an unreadable pair made.
    static constexpr char standInLead = char(0x85);
    static constexpr char standInTrail = char(0x40);

    explicit ReplayPlan(const TraceReader::Session& session);

    const QList<Step>& steps() const { return m_steps; }
    const QList<Record>& records() const { return m_records; }
    // Discards the trace shows after its last read: the end of the last body and the reopened
    // port, or none after an abort.
    int discardsAfterLastStep() const { return m_discardsAfter; }

private:
    struct Answers {
        qint64 acks { 0 };
        int discards { 0 };
        // Something reset the receiver's decoder before the next read.
        bool reset { false };
        bool rejected { false };
    };

    void moveHeldBytes(const QList<Answers>& after);

    QList<Step> m_steps;
    QList<Record> m_records;
    int m_discardsAfter { 0 };
};
