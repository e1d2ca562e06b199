#pragma once

#include "linerules.h"
#include "recordrefusal.h"

#include <QString>

class CaptureView;
class RecordJournal;
class SerialControl;

// The capture loop: record after record, it opens the port, waits for the instrument's
// 4-character header, acknowledges it, collects the record body while acknowledging every
// poll, closes the port, checks the body and either asks for a resend or extracts the
// person's fields and rewrites the result file. It runs inside the "Comm Open" click and
// lets the window live through the view's yields. It ends when a wait finds the port closed
// (that is how "Comm Break" stops it) or when stop() was called. When the port keeps a
// journal (a traced line), each record's outcome is noted there.
class CaptureLoop {
public:
    static constexpr int headerLength = LineRules::headerLength;
    static constexpr int minimumBodyLength = LineRules::minimumBodyLength;
    static constexpr char16_t ack = LineRules::ack;

    CaptureLoop(SerialControl& port, CaptureView& view);

    // Returns when the loop ends. A call while the loop already runs (a click delivered
    // inside one of its yields) returns at once: a loop nested inside another one's yield
    // would capture on a port whose state the outer loop no longer knows.
    void run();

    bool isRunning() const { return m_running; }

    // The window is going away: the loop ends at its next yield without touching the line.
    void stop() { m_stopRequested = true; }

    // "Comm Break" was pressed: the loop ends once the record in hand is handled, instead of
    // opening the port for another cycle. A record already received in full is still written.
    void endAfterRecord() { m_endAfterRecord = m_running; }
    bool isEnding() const { return m_running && (m_stopRequested || m_endAfterRecord); }

private:
    enum class Outcome { Continue, End };
    enum class RecordEnd { Quiet, SecondRecord, Stopped };

    bool yieldOnce();
    Outcome cycle();
    bool sendAck();
    bool resultFileWritable();
    bool settleLoneK(QString& chunk);
    RecordEnd settleRecordEnd();
    Outcome rejectRecord(const Refusal& why);
    Outcome handleRecord(const QString& body);
    void fail(const QString& message);

    SerialControl& m_port;
    CaptureView& m_view;
    bool m_running { false };
    bool m_stopRequested { false };
    bool m_endAfterRecord { false };
};
