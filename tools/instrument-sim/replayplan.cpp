#include "replayplan.h"

#include "cp932.h"

#include <algorithm>

namespace {

using Kind = TraceEvent::Kind;

// How the trace writes a character the receiver could not read.
constexpr char unreadableByte = char(0xff);

}

ReplayPlan::ReplayPlan(const TraceReader::Session& session)
{
    // What the receiver did after each read, up to the next one; before the first read, what
    // it did from the start (opening the port and discarding).
    QList<Answers> after;
    Answers before;
    const auto current = [&]() -> Answers& { return after.isEmpty() ? before : after.last(); };
    qint64 previousRead = session.events.isEmpty() ? 0 : session.events.constFirst().micros;
    qint64 lastDiscard = -1;
    int record = 1;

    for (const TraceEvent& event : session.events) {
        switch (event.kind) {
        case Kind::Received: {
            Step step;
            step.bytes = event.bytes;
            step.record = record;
            step.discardsBefore = current().discards;
            step.ackBefore = current().acks > 0;
            step.gapMicros
                = std::max<qint64>(0, event.micros - std::max(previousRead, lastDiscard));
            step.held = event.held;
            step.afterBox = current().rejected;
            step.traceLine = event.line;
            m_steps.append(step);
            after.append(Answers());
            previousRead = event.micros;
            lastDiscard = -1;
            break;
        }
        case Kind::Sent:
            ++current().acks;
            break;
        case Kind::Clear:
            ++current().discards;
            current().reset = true;
            lastDiscard = event.micros;
            break;
        case Kind::Close:
        case Kind::Open:
        case Kind::Forget:
            current().reset = true;
            break;
        case Kind::Written:
        case Kind::Rejected:
        case Kind::Aborted:
        case Kind::Fatal: {
            Record done;
            done.number = record++;
            done.outcome = event.kind == Kind::Written ? QStringLiteral("written")
                : event.kind == Kind::Rejected         ? QStringLiteral("rejected ") + event.text
                : event.kind == Kind::Aborted          ? QStringLiteral("abort")
                                                       : QStringLiteral("fatal");
            done.resultLine = event.kind == Kind::Written ? event.bytes : QByteArray();
            current().rejected = event.kind == Kind::Rejected;
            m_records.append(done);
            break;
        }
        default:
            break;
        }
    }
    // Reads after the last outcome make a record the session ended in the middle of.
    if (!m_steps.isEmpty() && m_steps.constLast().record == record) {
        Record open;
        open.number = record;
        m_records.append(open);
    }

    for (Record& r : m_records) {
        const auto first = std::find_if(m_steps.cbegin(), m_steps.cend(),
            [&r](const Step& step) { return step.record == r.number; });
        if (first == m_steps.cend())
            continue;
        r.firstStep = int(first - m_steps.cbegin());
        // The record's answers run to the first read of a later record.
        const auto end = std::find_if(
            first, m_steps.cend(), [&r](const Step& step) { return step.record > r.number; });
        qint64 acks = 0;
        for (qsizetype i = r.firstStep; i < end - m_steps.cbegin(); ++i) {
            acks += after.at(i).acks;
            r.discards += after.at(i).discards;
        }
        r.headerAcked = acks > 0;
        r.bodyAcks = std::max<qint64>(0, acks - 1);
    }
    m_discardsAfter = after.isEmpty() ? 0 : after.constLast().discards;
    moveHeldBytes(after);
}

void ReplayPlan::moveHeldBytes(const QList<Answers>& after)
{
    // The trace gives each character whole to the read that completed it; on the line, its
    // first byte came with the read before.
    for (qsizetype i = 0; i < m_steps.size(); ++i) {
        Step& step = m_steps[i];
        if (!step.held)
            continue;
        const bool paired = !after.at(i).reset && i + 1 < m_steps.size();
        QByteArray* next = paired ? &m_steps[i + 1].bytes : nullptr;
        if (next && next->size() >= 2
            && Cp932::isLeadByte(static_cast<unsigned char>(next->at(0)))) {
            step.bytes += next->at(0);
            next->remove(0, 1);
        } else if (next && next->startsWith(unreadableByte)) {
            // The held byte and the next one made no character; a pair that is none does the
            // same, whatever byte follows it.
            step.bytes += standInLead;
            (*next)[0] = standInTrail;
        } else {
            // The receiver dropped the byte before it met its second half; any first byte does.
            step.bytes += standInLead;
        }
    }
}
