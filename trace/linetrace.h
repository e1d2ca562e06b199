#pragma once

#include "recordjournal.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

// A raw log of the line, made for the instrument's protocol: every read and every byte sent,
// every open, close, discard, break and line error, and what became of each record (see
// TraceEvent for the format). It exists so that what crossed the line at a desk can be seen,
// and played again against another build by instrument-sim --replay.
//
// The trace never holds up the line. Events are formatted into memory and written with the
// line closed, at each record's outcome, at the end, and otherwise once they have waited a
// second: a trace is wanted most after the program was killed or the machine stopped, and
// then only what was written tells anything. A poll costs no system call. A trace that cannot
// be written is not the record: the first failure is reported once through the complaint, and
// the trace then stays silent while capturing goes on.
class LineTrace : public RecordJournal {
public:
    static constexpr int formatVersion = 1;
    // The session line that opens every run's part of a trace.
    static constexpr const char* magic = "reccap-trace";
    // A line that spews for long without ever closing the port (noise at the wrong speed, say)
    // would otherwise gather in memory for good; one write per this much is still no write per
    // poll.
    static constexpr qsizetype flushThreshold = 256 * 1024;
    // The longest an event waits in memory while the line is busy: a second of line noise is
    // about 6 KiB, one write a second costs nothing the line would notice.
    static constexpr std::chrono::seconds flushInterval { 1 };

    using Clock = std::chrono::steady_clock;
    using Complaint = std::function<void(const QString&)>;
    // The trace's time, for the events' times and for when to write; tests hold it still.
    using Now = Clock::time_point (*)();

    // Appends to `device`, open for writing, starting with the session line; `name` is how a
    // complaint names the trace. Without a complaint, it goes to standard error.
    LineTrace(std::unique_ptr<QIODevice> device, const QString& name, const QString& programVersion,
        Complaint complain = {}, Now now = Clock::now);
    // Notes the end and writes what is left.
    ~LineTrace() override;
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    bool isWriting() const { return m_device != nullptr; }

    // The clock starts at the first attempt to open the port.
    void portOpening();
    void portOpened();
    void portOpenFailed(const QString& why);
    void portClosed();
    void inputCleared();
    void partialForgotten();
    void received(const QString& text, bool held);
    void sent(const QString& text);
    void sendFailed(const QString& text, const QString& why);
    void breakSet(bool on);
    void commEvent(int code);

    // A record's outcome is written at once: it is what a desk's trace is read for, and the
    // operator's box that may follow can stand for minutes.
    void recordWritten(const QByteArray& resultLine) override;
    void recordRejected(QLatin1String rule, const QString& reason = {}) override;
    void recordAborted(std::chrono::nanoseconds silence, int answers) override;
    void fatalError(const QString& message) override;

    // Writes what has gathered. False once writing has failed.
    bool flush();
    // Called when an event begins to wait in memory, so that the owner of the event loop can
    // write it a second later although the line falls silent and nothing more is noted.
    void setWaitingNotice(std::function<void()> notice) { m_waitingNotice = std::move(notice); }

private:
    void begin(QLatin1String kind);
    void finish();
    void appendNumber(qint64 value);
    void appendHex(const QByteArray& bytes);
    // The code page 932 form of text as it crossed the line.
    void appendHex(const QString& text);
    void appendQuoted(const QString& text);
    void fail(const QString& why);

    std::unique_ptr<QIODevice> m_device;
    QString m_name;
    Complaint m_complain;
    Now m_now;
    std::function<void()> m_waitingNotice;
    QByteArray m_buffer;
    Clock::time_point m_origin {};
    // The time of the event being noted, and of the last write.
    Clock::time_point m_eventTime {};
    Clock::time_point m_lastWrite {};
    bool m_started { false };
};
