#include "instrumentsession.h"

#include "recordbody.h"

#include <algorithm>

namespace {

using std::chrono::milliseconds;

// An ACK that reaches us after we wrote a piece may have been on its way before the piece
// arrived, or written in the very pass of the receiver's event loop that only then takes the
// piece off the line. A few ACKs later the piece has surely been read, so the next one lands
// in a read of its own; four leave a poll to spare.
constexpr int acksBetweenPieces = 4;

const QByteArray abortChunk("K");

// Longer than the 0.75 s after which the receiver drops what stands in its header wait. An
// instrument on a timer sends its header when the timer says, noise or not.
constexpr milliseconds noiseRest(1000);

}

InstrumentSession::InstrumentSession(const SimOptions& options, InstrumentLine& line)
    : m_options(options)
    , m_line(line)
{
}

InstrumentSession::Wait InstrumentSession::waitFor(
    const std::function<bool()>& done, Clock::time_point until)
{
    for (;;) {
        if (done())
            return Wait::Done;
        const Clock::time_point now = Clock::now();
        if (now >= m_deadline) {
            m_timedOut = true;
            return Wait::Ended;
        }
        if (now >= until) {
            // Take in what is there even at a deadline already past, so that a caller that
            // keeps asking is never blind to the line.
            m_line.pump(now);
            return done() ? Wait::Done : Wait::Expired;
        }
        if (!m_line.pump(std::min(until, m_deadline)))
            return Wait::Ended;
    }
}

bool InstrumentSession::idle(Clock::time_point until)
{
    const Clock::time_point savedDeadline = m_deadline;
    m_deadline = Clock::time_point::max();
    while (Clock::now() < until) {
        if (!m_line.pump(until))
            break;
    }
    m_deadline = savedDeadline;
    return !m_line.stopped() && !m_line.failed();
}

std::function<bool()> InstrumentSession::anythingArrives() const
{
    const qint64 acks = m_line.acks();
    const qint64 discards = m_line.discards();
    const qint64 other = m_line.otherBytes();
    return [this, acks, discards, other] {
        return m_line.acks() != acks || m_line.discards() != discards
            || m_line.otherBytes() != other;
    };
}

bool InstrumentSession::waitReadyForHeader()
{
    if (m_discardsNeeded < 0)
        return true;
    for (;;) {
        const bool reopened = m_line.discards() - m_discardBaseline >= m_discardsNeeded;
        const Clock::time_point quietFrom = std::max(m_line.lastActivityAt(), m_quietFrom);
        // Without the reopening discard we still go after a longer silence: the receiver may
        // not discard the way we can see, or two discards may have reached us as one.
        const Clock::time_point readyAt
            = quietFrom + milliseconds(reopened ? m_options.quietMs : m_options.resendMs);
        if (Clock::now() >= readyAt)
            return true;
        if (waitFor(anythingArrives(), readyAt) == Wait::Ended)
            return false;
    }
}

bool InstrumentSession::sendPieces(const Transmission& transmission, bool restartOnDiscard)
{
    const QList<QByteArray>& pieces = transmission.pieces();
    qint64 discardsAtStart = m_line.discards();
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            const Clock::time_point next = Clock::now() + milliseconds(m_options.pieceDelayMs);
            if (waitFor([] { return false; }, next) == Wait::Ended)
                return false;
            // The receiver threw away what we had sent so far; half a header followed by a
            // whole one would overrun its header wait for good.
            if (restartOnDiscard && m_line.discards() != discardsAtStart) {
                discardsAtStart = m_line.discards();
                i = -1;
                continue;
            }
        }
        if (!m_line.write(pieces.at(i), m_deadline))
            return false;
    }
    return true;
}

bool InstrumentSession::awaitHeaderAck(const Transmission& header, RecordOutcome& outcome)
{
    const qint64 acksAtSend = m_line.acks();
    qint64 discardsKnown = m_line.discards();
    if (!sendPieces(header, true))
        return false;
    ++outcome.headerSends;
    Clock::time_point lastSend = Clock::now();
    // Set while a discard may have swallowed the header: when to send it again.
    bool maybeLost = false;
    Clock::time_point lostAt {};

    for (;;) {
        if (m_line.acks() > acksAtSend) {
            outcome.headerAcked = true;
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (m_line.discards() > discardsKnown) {
            // Either the receiver's discard just before it acknowledges, or a reopened port
            // that swallowed our header. Only the lack of an ACK long after tells them apart.
            discardsKnown = m_line.discards();
            maybeLost = true;
            lostAt = now + milliseconds(m_options.resendMs);
        }
        const bool discardsVisible = m_line.discards() > 0;
        // A timer-driven instrument re-sends on its timer alone, whatever it hears.
        const bool onTimer = m_options.resendEveryMs > 0;
        const Clock::time_point timerResend
            = lastSend + milliseconds(onTimer ? m_options.resendEveryMs : m_options.resendMs);
        const bool resend = onTimer ? now >= timerResend
                                    : (maybeLost && now >= lostAt)
                || (!discardsVisible && !m_options.headerOverrun && now >= timerResend);
        if (resend) {
            discardsKnown = m_line.discards();
            if (!sendPieces(header, true))
                return false;
            ++outcome.headerSends;
            lastSend = Clock::now();
            maybeLost = false;
            continue;
        }
        if (m_options.headerOverrun && !maybeLost && now >= timerResend) {
            finish(outcome, QStringLiteral("unanswered"));
            return false;
        }
        // With the receiver's discards in view nothing but a discard or an ACK moves us on.
        Clock::time_point next = m_deadline;
        for (const Clock::time_point due : { maybeLost ? lostAt : m_deadline,
                 discardsVisible && !m_options.headerOverrun && !onTimer ? m_deadline
                                                                         : timerResend }) {
            if (due > now)
                next = std::min(next, due);
        }
        if (waitFor(anythingArrives(), next) == Wait::Ended)
            return false;
    }
}

bool InstrumentSession::waitAcksApart(qint64 acksBefore, Clock::time_point notBefore)
{
    const auto apart = [&] {
        return m_line.acks() >= acksBefore + acksBetweenPieces && Clock::now() >= notBefore;
    };
    // A receiver that stopped polling gets the piece anyway, a resend interval later.
    return waitFor(apart, notBefore + milliseconds(m_options.resendMs)) != Wait::Ended;
}

bool InstrumentSession::waitQuiet()
{
    const Clock::time_point lastWrite = Clock::now();
    for (;;) {
        const Clock::time_point quietAt
            = std::max(m_line.lastAckAt(), lastWrite) + milliseconds(m_options.quietMs);
        if (Clock::now() >= quietAt)
            return true;
        if (waitFor([] { return false; }, quietAt) == Wait::Ended)
            return false;
    }
}

bool InstrumentSession::sendBody(const Transmission& body, RecordOutcome& outcome)
{
    if (m_options.waitAck && !m_options.bodyAtOnce) {
        // The first ACK after the header's own comes from a poll of the body wait, which only
        // starts after the receiver's last discard; a body sent earlier could be thrown away.
        const qint64 headerAcks = m_line.acks();
        const auto polling = [&] { return m_line.acks() > headerAcks; };
        if (waitFor(polling, Clock::now() + milliseconds(m_options.resendMs)) == Wait::Ended)
            return false;
    } else if (!m_options.waitAck) {
        if (waitFor([] { return false; }, Clock::now() + milliseconds(m_options.pieceDelayMs))
            == Wait::Ended)
            return false;
    }
    if (m_options.bodyDelayMs > 0
        && waitFor([] { return false; }, Clock::now() + milliseconds(m_options.bodyDelayMs))
            == Wait::Ended)
        return false;

    const int crossing
        = m_options.abort ? -1 : body.pieceReaching(RecordBody::receiverMinimumLength);
    const QList<QByteArray>& pieces = body.pieces();
    qint64 acksAtWrite = m_line.acks();
    Clock::time_point lastWrite = Clock::now();
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            const Clock::time_point notBefore = lastWrite + milliseconds(m_options.pieceDelayMs);
            // Past the piece that completes the body the receiver has closed its port; what
            // follows is lost whatever we wait for.
            const bool open = crossing < 0 || i <= crossing;
            const bool waited = open ? waitAcksApart(acksAtWrite, notBefore)
                                     : waitFor([] { return false; }, notBefore) != Wait::Ended;
            if (!waited)
                return false;
        }
        m_line.pump(Clock::now());
        acksAtWrite = m_line.acks();
        if (!m_line.write(pieces.at(i), m_deadline))
            return false;
        lastWrite = Clock::now();
        if (i == crossing)
            m_discardBaseline = m_line.discards();
    }

    if (m_options.abort) {
        if (!pieces.isEmpty() && !waitAcksApart(acksAtWrite, lastWrite))
            return false;
        m_line.pump(Clock::now());
        if (!m_line.write(abortChunk, m_deadline))
            return false;
        // The receiver has ended; a new one discards its input when it opens the port.
        m_discardBaseline = m_line.discards();
        m_discardsNeeded = 1;
        if (!waitQuiet())
            return false;
        finish(outcome, QStringLiteral("aborted"));
        return true;
    }
    if (crossing < 0 && m_options.nextAtOnce) {
        // Reset in the middle of a record, the instrument starts over with the next one at
        // once: nothing of the receiver's is waited for.
        m_discardsNeeded = -1;
        finish(outcome, QStringLiteral("incomplete"));
        return true;
    }
    if (crossing < 0) {
        // The receiver gives a cut-off body up once the line has been quiet for a while, with
        // one discard, and makes another when it opens the port again for the next header.
        m_discardBaseline = m_line.discards();
        m_discardsNeeded = 2;
        if (waitFor([] { return false; }, Clock::now() + milliseconds(m_options.resendMs))
            == Wait::Ended)
            return false;
        finish(outcome, QStringLiteral("incomplete"));
        return true;
    }
    if (!waitQuiet())
        return false;
    // One discard ends the body wait, the next one comes with the reopened port.
    m_discardsNeeded = 2;
    finish(outcome, QStringLiteral("sent"));
    return true;
}

RecordOutcome& InstrumentSession::finish(RecordOutcome& outcome, const QString& result)
{
    if (outcome.result.isEmpty())
        outcome.result = result;
    return outcome;
}

RecordOutcome InstrumentSession::sendRecord(
    int number, const Transmission& header, const Transmission& body)
{
    RecordOutcome outcome;
    outcome.number = number;
    m_deadline = Clock::now() + std::chrono::seconds(m_options.timeoutS);
    m_timedOut = false;
    const qint64 otherAtStart = m_line.otherBytes();

    bool ok = waitReadyForHeader();
    if (ok && number == 1 && !m_options.noise.isEmpty()) {
        // Only into a port that listens: the discard of its opening would swallow it unseen.
        const qint64 discards = m_line.discards();
        ok = (discards > 0
                 || waitFor([&] { return m_line.discards() > discards; }, m_deadline) == Wait::Done)
            && waitFor([] { return false; }, Clock::now() + milliseconds(m_options.quietMs))
                != Wait::Ended
            && m_line.write(m_options.noise, m_deadline)
            && waitFor([] { return false; },
                   Clock::now()
                       + (m_options.resendEveryMs > 0 ? milliseconds(m_options.resendEveryMs)
                                                      : noiseRest))
                != Wait::Ended;
    }
    if (ok) {
        m_line.pump(Clock::now());
        const qint64 acksBeforeHeader = m_line.acks();
        if (m_options.waitAck) {
            ok = awaitHeaderAck(header, outcome);
        } else {
            ok = sendPieces(header, false);
            outcome.headerSends = ok ? 1 : 0;
        }
        if (ok)
            ok = sendBody(body, outcome);
        if (!m_options.waitAck)
            outcome.headerAcked = m_line.acks() > acksBeforeHeader;
        const qint64 afterHeader = m_line.acks() - acksBeforeHeader;
        outcome.bodyAcks = std::max<qint64>(0, afterHeader - (outcome.headerAcked ? 1 : 0));
    }
    if (outcome.result == QLatin1String("unanswered")) {
        // The receiver sits in an overrun header wait until someone stops and restarts it.
        m_discardBaseline = m_line.discards();
        m_discardsNeeded = 1;
    }
    outcome.otherBytes = m_line.otherBytes() - otherAtStart;
    if (!ok && outcome.result.isEmpty()) {
        if (m_timedOut)
            finish(outcome, QStringLiteral("timeout"));
        else if (m_line.stopped())
            finish(outcome, QStringLiteral("stopped"));
        else
            finish(outcome, QStringLiteral("failed"));
    }
    m_quietFrom = Clock::now();
    return outcome;
}
