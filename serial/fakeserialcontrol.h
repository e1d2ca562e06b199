#pragma once

#include "cp932decoder.h"
#include "serialcontrol.h"

#include <QList>
#include <QStringList>

// A serial port that plays a script: each read of input() on the open port returns the next
// scripted chunk, an empty string standing for a poll that finds nothing, and once the
// script runs out every read is empty. It records what the program did to the line, so a
// test can compare the ACKs and the opens and closes with what the protocol requires.
//
// The script keeps its own clock: every read takes one character time of the line, and a
// scripted pause is a read that finds nothing after that much silence. Chunks scripted as
// bytes go through the code page 932 decoder like the real port's, so a double-byte character
// cut between two reads is held back as it would be on the line.
class FakeSerialControl : public SerialControl {
    Q_OBJECT
public:
    using SerialControl::SerialControl;

    void addReads(const QStringList& chunks);
    void addBytes(const QList<QByteArray>& chunks);
    void addPause(std::chrono::nanoseconds silence);
    // The instrument's answer to the next output(): it reaches the receive buffer the moment
    // that output leaves, ahead of the rest of the script, and a discard after it drops it.
    void replyToNextWrite(const QString& chunk) { m_reply = chunk; }
    int pendingReads() const { return int(m_reads.size()); }
    void failNextOpen(const QString& reason) { m_openFailure = reason; }
    // The device disappearing while nobody calls: the port closes and failed() fires.
    void vanish(const QString& reason);
    void raiseEvent(int code);

    // One entry per operation: "open", "close", "clear", "read:<text>", "write:<text>",
    // "break:on", "break:off". Reads that found nothing are logged as "read:".
    QStringList log() const { return m_log; }
    QStringList writes() const;
    bool breakOn() const { return m_breakOn; }
    bool wakesOnInput() const { return m_wakeOnInput; }

    void setCommPort(int port) override { m_commPort = port; }
    int commPort() const override { return m_commPort; }
    void setInputLen(int length) override { m_inputLen = length; }
    int inputLen() const { return m_inputLen; }
    bool portOpen() const override { return m_open; }
    bool setPortOpen(bool open) override;
    void clearInBuffer() override;
    QString input() override;
    bool holdsPartialCharacter() const override { return m_decoder.holdsPartialCharacter(); }
    void forgetPartialCharacter() override { m_decoder.forgetPartialCharacter(); }
    std::chrono::nanoseconds silentFor() const override { return m_now - m_lastData; }
    bool output(const QString& text) override;
    void setWakeOnInput(bool wake) override { m_wakeOnInput = wake; }
    bool setBreak(bool on) override;
    int commEvent() const override { return m_commEvent; }
    QString errorString() const override { return m_errorString; }
    // Where the capture loop notes its outcomes; a test that reads them sets one.
    void setJournal(RecordJournal* journal) { m_journal = journal; }
    RecordJournal* journal() override { return m_journal; }

private:
    struct Read {
        QString text;
        QByteArray bytes;
        bool isBytes { false };
        std::chrono::nanoseconds pause { 0 };
        // Already in the receive buffer, where a discard finds it.
        bool arrived { false };
    };

    void announceData();

    QList<Read> m_reads;
    QStringList m_log;
    Cp932Decoder m_decoder;
    std::chrono::nanoseconds m_now { 0 };
    std::chrono::nanoseconds m_lastData { 0 };
    QString m_reply;
    QString m_openFailure;
    QString m_errorString;
    RecordJournal* m_journal { nullptr };
    int m_commPort { 1 };
    int m_inputLen { -1 };
    int m_commEvent { 0 };
    bool m_open { false };
    bool m_breakOn { false };
    bool m_wakeOnInput { true };
};
