#include "tracereplay.h"

#include <QFile>

#include <algorithm>

namespace {

using std::chrono::microseconds;

QString pair(qint64 trace, qint64 replay) { return QStringLiteral("%1/%2").arg(trace).arg(replay); }

// A result line as a reader of the report sees it: its text, with the line end shown.
QString shown(const std::optional<QByteArray>& content)
{
    if (!content)
        return QStringLiteral("no file");
    QString text = QString::fromLatin1(content->toHex());
    return QStringLiteral("bytes %1").arg(text.isEmpty() ? QStringLiteral("(none)") : text);
}

}

TraceReplay::TraceReplay(const ReplayPlan& plan, InstrumentLine& line, const Settings& settings,
    std::function<void(const QString&)> say)
    : m_plan(plan)
    , m_line(line)
    , m_settings(settings)
    , m_say(std::move(say))
{
}

TraceReplay::Wait TraceReplay::waitFor(const std::function<bool()>& done, Clock::time_point until)
{
    for (;;) {
        if (done())
            return Wait::Done;
        if (Clock::now() >= until) {
            m_line.pump(Clock::now());
            return done() ? Wait::Done : Wait::Expired;
        }
        if (!m_line.pump(until))
            return Wait::Ended;
    }
}

TraceReplay::Wait TraceReplay::waitForDiscards(int wanted, bool mayMerge)
{
    qint64 seen = m_line.discards();
    Clock::time_point lastSeen = Clock::now();
    for (;;) {
        const qint64 made = m_line.discards() - m_discardsAtSend;
        if (m_line.discards() != seen) {
            seen = m_line.discards();
            lastSeen = Clock::now();
        }
        if (made >= wanted)
            return Wait::Done;
        const Clock::time_point merged = lastSeen + mergedDiscardsAfter;
        if (mayMerge && made > 0 && Clock::now() >= merged)
            return Wait::Done;
        if (Clock::now() >= m_deadline)
            return Wait::Expired;
        if (!m_line.pump(mayMerge && made > 0 ? std::min(merged, m_deadline) : m_deadline))
            return Wait::Ended;
    }
}

void TraceReplay::differ(const QString& what)
{
    ++m_differences;
    m_say(QStringLiteral("difference: %1").arg(what));
}

std::optional<QByteArray> TraceReplay::readResult() const
{
    QFile file(m_settings.resultFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool TraceReplay::run()
{
    if (!m_settings.resultFile.isEmpty())
        m_expectedResult = readResult();
    m_otherAtStart = m_line.otherBytes();
    m_acksAtSend = m_line.acks();
    m_discardsAtSend = m_line.discards();
    m_lastSend = Clock::now();

    bool played = true;
    for (int i = 0; i < m_plan.steps().size() && played; ++i) {
        if (!playStep(i)) {
            if (m_line.stopped() || m_line.failed())
                return false;
            played = false;
        }
    }

    if (played) {
        // The receiver finishes the last record: its discards, then nothing for a while.
        m_deadline = Clock::now() + std::chrono::seconds(m_settings.timeoutS);
        if (waitForDiscards(m_plan.discardsAfterLastStep()) == Wait::Ended)
            return false;
        for (;;) {
            const Clock::time_point quietAt
                = std::max(m_line.lastActivityAt(), m_lastSend) + settleTime;
            if (Clock::now() >= quietAt)
                break;
            if (Clock::now() >= m_deadline) {
                // The trace ends with the receiver done; this one answers on, as a receiver
                // that took an abort for data would.
                differ(QStringLiteral("the receiver was still answering %1 s after the last read; "
                                      "the trace shows it done")
                           .arg(m_settings.timeoutS));
                break;
            }
            if (waitFor([] { return false; }, std::min(quietAt, m_deadline)) == Wait::Ended)
                return false;
        }
    }
    if (m_openRecord >= 0)
        closeRecord(m_openRecord);
    for (int r = m_openRecord + 1; r < m_plan.records().size(); ++r) {
        const ReplayPlan::Record& record = m_plan.records().at(r);
        if (record.firstStep < 0)
            m_say(QStringLiteral("record %1: outcome=%2 (nothing read to play)")
                      .arg(record.number)
                      .arg(record.outcome));
    }
    if (const qint64 other = m_line.otherBytes() - m_otherAtStart; other != 0)
        differ(QStringLiteral("the receiver sent %1 bytes other than ACK").arg(other));
    return true;
}

bool TraceReplay::playStep(int index)
{
    const ReplayPlan::Step& step = m_plan.steps().at(index);
    m_deadline = Clock::now() + std::chrono::seconds(m_settings.timeoutS);
    const QString where = QStringLiteral("record %1, before the read at trace line %2")
                              .arg(step.record)
                              .arg(step.traceLine);

    // A box's answer takes the operator's time, and the discards on either side of it are far
    // apart: none of them can have merged, and a header sent before the last would be lost.
    Wait wait = waitForDiscards(step.discardsBefore, !step.afterBox);
    if (wait == Wait::Ended)
        return false;
    if (wait == Wait::Expired) {
        const bool recordStarts = index == 0 || m_plan.steps().at(index - 1).record != step.record;
        differ(QStringLiteral("%1: the trace shows %2 discards, the receiver made %3 within %4 s%5")
                   .arg(where)
                   .arg(step.discardsBefore)
                   .arg(m_line.discards() - m_discardsAtSend)
                   .arg(m_settings.timeoutS)
                   .arg(recordStarts ? QStringLiteral(" (its port was not opened again)")
                                     : QString()));
        return false;
    }
    const Clock::time_point anchor = step.discardsBefore > 0 ? Clock::now() : m_lastSend;

    if (step.ackBefore) {
        wait = waitFor([&] { return m_line.acks() > m_acksAtSend; }, m_deadline);
        if (wait == Wait::Ended)
            return false;
        if (wait == Wait::Expired) {
            differ(QStringLiteral("%1: the trace shows an ACK, the receiver sent none within %2 s")
                       .arg(where)
                       .arg(m_settings.timeoutS));
            return false;
        }
    }
    const auto gap = microseconds(qint64(double(step.gapMicros) / m_settings.speed));
    if (waitFor([] { return false; }, anchor + gap) == Wait::Ended)
        return false;

    const int record = step.record;
    const auto& records = m_plan.records();
    const auto recordIndex
        = int(std::find_if(records.cbegin(), records.cend(), [record](const ReplayPlan::Record& r) {
              return r.number == record;
          }) - records.cbegin());
    if (recordIndex != m_openRecord) {
        if (m_openRecord >= 0)
            closeRecord(m_openRecord);
        for (int r = m_openRecord + 1; r < recordIndex; ++r)
            m_say(QStringLiteral("record %1: outcome=%2 (nothing read to play)")
                      .arg(records.at(r).number)
                      .arg(records.at(r).outcome));
        m_openRecord = recordIndex;
        m_windowAcks = m_line.acks();
        m_windowDiscards = m_line.discards();
    }

    m_line.pump(Clock::now());
    if (!m_line.write(step.bytes, m_deadline))
        return false;
    m_lastSend = Clock::now();
    m_acksAtSend = m_line.acks();
    m_discardsAtSend = m_line.discards();
    return true;
}

void TraceReplay::closeRecord(int recordIndex)
{
    const ReplayPlan::Record& expected = m_plan.records().at(recordIndex);
    const qint64 acks = m_line.acks() - m_windowAcks;
    const int discards = int(m_line.discards() - m_windowDiscards);
    const bool headerAcked = acks > 0;
    const qint64 bodyAcks = std::max<qint64>(0, acks - 1);
    const QString name = QStringLiteral("record %1").arg(expected.number);

    if (expected.outcome == QLatin1String("written"))
        m_expectedResult = expected.resultLine;
    QString result = QStringLiteral("unchecked");
    std::optional<QByteArray> actual;
    if (!m_settings.resultFile.isEmpty()) {
        actual = readResult();
        result = actual == m_expectedResult ? QStringLiteral("same") : QStringLiteral("differs");
    }
    m_say(QStringLiteral("%1: header-ack=%2 acks=%3 discards=%4 outcome=%5 result=%6")
              .arg(name, pair(expected.headerAcked, headerAcked), pair(expected.bodyAcks, bodyAcks),
                  pair(expected.discards, discards),
                  expected.outcome.isEmpty() ? QStringLiteral("none")
                                             : QString(expected.outcome).replace(u' ', u':'),
                  result));

    if (expected.headerAcked != headerAcked)
        differ(expected.headerAcked
                ? QStringLiteral("%1: the trace shows the header answered, the receiver did not "
                                 "answer it")
                      .arg(name)
                : QStringLiteral("%1: the receiver answered a header the trace shows unanswered")
                      .arg(name));
    else if ((expected.bodyAcks > 0) != (bodyAcks > 0))
        differ(
            QStringLiteral("%1: the trace shows %2 ACKs after the header's, the receiver sent %3")
                .arg(name)
                .arg(expected.bodyAcks)
                .arg(bodyAcks));
    if (discards > expected.discards || (discards == 0) != (expected.discards == 0))
        differ(QStringLiteral("%1: the trace shows %2 discards, the receiver made %3")
                   .arg(name)
                   .arg(expected.discards)
                   .arg(discards));
    if (result == QLatin1String("differs"))
        differ(QStringLiteral("%1: %2 holds %3, the trace leaves it with %4")
                   .arg(name, m_settings.resultFile, shown(actual), shown(m_expectedResult)));
}
