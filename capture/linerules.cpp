#include "linerules.h"

namespace LineRules {

bool isHeader(const QString& received) { return received.size() == headerLength; }

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

QString recordBody(const QString& received) { return received.left(minimumBodyLength); }

}
