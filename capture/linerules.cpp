#include "linerules.h"

namespace LineRules {

bool isHeader(const QString& received) { return received.size() == headerLength; }

bool startsBurst(std::chrono::nanoseconds silenceBeforeRead)
{
    return silenceBeforeRead >= burstGap;
}

QString headerSoFar(const QString& held, const QString& chunk, bool newBurst)
{
    if (newBurst && held.size() + chunk.size() > headerLength)
        return chunk;
    // An overrun can never become a header by adding to it; it only waits for the next burst.
    if (held.size() > headerLength)
        return held;
    return held + chunk;
}

void AnsweredSilence::observe(std::chrono::nanoseconds portSilence, bool data)
{
    if (data || portSilence - m_lastSeen > lateAfter + SerialControl::characterTime) {
        m_from = portSilence;
        m_answers = 0;
    }
    m_lastSeen = portSilence;
}

bool isStaleHeaderStart(std::chrono::nanoseconds silenceBeforeRead)
{
    return silenceBeforeRead >= headerQuietTime;
}

bool mayBeAbort(const QString& chunk, bool partialCharacterHeld, qsizetype bodySoFar)
{
    return chunk == QLatin1String("K") && !partialCharacterHeld
        && bodySoFar + 1 < minimumBodyLength;
}

bool isAbort(std::chrono::nanoseconds silenceAfterK, int answersSinceK)
{
    return silenceAfterK >= abortSilence && answersSinceK >= abortAnswers;
}

bool isCutOffBody(std::chrono::nanoseconds silence, int answersSinceData)
{
    return silence >= bodyQuietTime && answersSinceData >= abortAnswers;
}

bool holdsSecondRecord(const QString& received) { return received.indexOf(QChar(ack), 1) > 0; }

void dropHeaderCopies(QString& received, const QString& header)
{
    if (header.isEmpty() || header.contains(QChar(ack)))
        return;
    qsizetype copies = 0;
    while (QStringView(received).mid(copies * header.size()).startsWith(header))
        ++copies;
    received.remove(0, copies * header.size());
}

bool isRecordEnd(std::chrono::nanoseconds silence, int pollsSinceData)
{
    return silence >= recordEndQuietTime && pollsSinceData >= recordEndPolls;
}

QString recordBody(const QString& received) { return received.left(minimumBodyLength); }

}
