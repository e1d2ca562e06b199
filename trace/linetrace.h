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
// The trace never holds up the line. Events are formatted into memory and written only when
// flush() is called, which the port does with the line closed, between records, and at the
// end; a poll costs no system call. A trace that cannot be written is not the record: the
// first failure is reported once through the complaint, and the trace then stays silent while
// capturing goes on.
class LineTrace : public RecordJournal {
public:
    static constexpr int formatVersion = 1;
    // The session line that opens every run's part of a trace.
    static constexpr const char* magic = "reccap-trace";
    // A line that spews for long without ever closing the port (noise at the wrong speed, say)
    // would otherwise gather in memory for good; one write per this much is still no write per
    // poll.
    static constexpr qsizetype flushThreshold = 256 * 1024;

    using Clock = std::chrono::steady_clock;
    using Complaint = std::function<void(const QString&)>;

    // Appends to `device`, open for writing, starting with the session line; `name` is how a
    // complaint names the trace. Without a complaint, it goes to standard error.
    LineTrace(std::unique_ptr<QIODevice> device, const QString& name, const QString& programVersion,
        Complaint complain = {});
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

    void recordWritten(const QByteArray& resultLine) override;
    void recordRejected(QLatin1String rule) override;
    void recordAborted(std::chrono::nanoseconds silence, int answers) override;
    void fatalError(const QString& message) override;

    // Writes what has gathered. False once writing has failed.
    bool flush();

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
    QByteArray m_buffer;
    Clock::time_point m_origin {};
    bool m_started { false };
};
