#pragma once

#include "instrumentline.h"
#include "recordoutcome.h"
#include "simoptions.h"
#include "transmission.h"

#include <functional>

// The instrument's side of the link, one record after another: wait until the receiver is
// listening, send the header until it is acknowledged, send the body in its pieces while the
// receiver answers every poll with ACK, and wait for the ACKs to stop.
//
// The receiver holds its port closed between records and discards its input whenever it opens
// it, so anything sent in that window is lost without a word. We cannot see the port's state,
// but the receiver's discards show on the line: a header goes out once the discard of the
// reopened port has been seen and the line has gone quiet, and a header that a later discard
// swallows is sent again. A header is never resent while its ACK may still be on the way:
// a second header landing in the body wait would become the body's first characters.
class InstrumentSession {
public:
    using Clock = InstrumentLine::Clock;

    InstrumentSession(const SimOptions& options, InstrumentLine& line);

    RecordOutcome sendRecord(int number, const Transmission& header, const Transmission& body);
    // Keeps the line and counts what comes until the deadline; false when stopped or failed.
    bool idle(Clock::time_point until);

private:
    enum class Wait { Done, Expired, Ended };

    Wait waitFor(const std::function<bool()>& done, Clock::time_point until);
    // A condition that turns true once the receiver sends or discards anything.
    std::function<bool()> anythingArrives() const;
    bool waitReadyForHeader();
    bool sendPieces(const Transmission& transmission, bool restartOnDiscard);
    bool awaitHeaderAck(const Transmission& header, RecordOutcome& outcome);
    bool sendBody(const Transmission& body, RecordOutcome& outcome);
    bool waitAcksApart(qint64 acksBefore, Clock::time_point notBefore);
    bool waitQuiet();
    RecordOutcome& finish(RecordOutcome& outcome, const QString& result);

    const SimOptions& m_options;
    InstrumentLine& m_line;
    Clock::time_point m_deadline {};
    bool m_timedOut { false };
    // The discards that must show after m_discardBaseline before the next header can go.
    qint64 m_discardBaseline { 0 };
    int m_discardsNeeded { 1 };
    Clock::time_point m_quietFrom { Clock::now() };
};
