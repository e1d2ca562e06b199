#pragma once

#include "serialcontrol.h"

#include <QString>
#include <chrono>

// What the capture loop reads into the characters on the line: where a header starts and ends,
// which "K" is the instrument's abort, and how much of the received text is the record body.
// Each rule is one function, so the policy can be read without reading the loop.
namespace LineRules {

constexpr int headerLength = 4;
constexpr int minimumBodyLength = 178;
constexpr char16_t ack = 0x06;

// A header may come in pieces a few hundred milliseconds apart, which must still make one
// header; a line quiet for longer than that holds no header in progress. Below the one second
// after which the instrument's next header must be answered, with room for a late wake-up.
constexpr std::chrono::milliseconds headerQuietTime { 750 };

// Inside a record the instrument's characters follow each other with no gap, but they reach
// us in bursts: a USB serial adapter hands them over every 16 ms at most. Twenty character
// times (21 ms) are longer than any gap inside a record as we see it, and still end the
// program at once as far as anyone at the desk can tell.
constexpr std::chrono::nanoseconds abortSilence = 20 * SerialControl::characterTime;
// The silence counts only once the instrument has had an answer for each of those character
// times. A receiver slowed down by its machine (a virus scan, an emulator) polls, and so
// answers, late; an instrument that waits for our ACKs before its next piece is then silent
// because of us, not because it aborted.
constexpr int abortAnswers = 20;

// An instrument that was switched off, or whose cable was pulled, in the middle of a body never
// sends the rest; its next record would be appended to the cut one and make one person out of
// two. A body wait silent for as long as a header wait forgets its characters is far longer
// than any gap inside a record, so the record is given up there. As for the abort, the silence
// counts only once the instrument has had its answers.
constexpr std::chrono::milliseconds bodyQuietTime = headerQuietTime;

// The header is exactly four characters with nothing after them in the same wait.
bool isHeader(const QString& received);

// A read after this much silence starts a burst of its own: longer than any gap inside what the
// instrument sends in one go as it reaches us (a USB serial adapter hands bytes over every 16 ms
// at most), shorter than any pause between its sends. A lead byte held back across such a pause
// pairs with nothing that follows it.
constexpr std::chrono::nanoseconds burstGap = 20 * SerialControl::characterTime;
bool startsBurst(std::chrono::nanoseconds silenceBeforeRead);

// What the header wait holds after a read. Pieces add up to a header, also across a pause. But
// what cannot become a header with the new read (noise, an overrun, copies queued while we did
// not poll) gives way to a read that comes as a burst of its own: an instrument that re-sends
// its header on a timer is answered at its next send. A burst of more than four characters is
// never a header.
QString headerSoFar(const QString& held, const QString& chunk, bool newBurst);

// Characters of a header wait that stand before this much silence are line noise or a header
// that never completed: they are dropped, and whatever arrives next starts the header afresh.
bool isStaleHeaderStart(std::chrono::nanoseconds silenceBeforeRead);

// The abort is a "K" that the instrument sent on its own. A read that holds only "K" may be
// one, unless a byte of the next character came with it; whether it is one is told by the
// silence after it (isAbort). A "K" that is part of a name arrives with or right before the
// characters around it. A "K" that completes the body is its last character: the line is
// silent after it because the record is over, and the same bytes in one read would be data.
bool mayBeAbort(const QString& chunk, bool partialCharacterHeld, qsizetype bodySoFar);
bool isAbort(std::chrono::nanoseconds silenceAfterK, int answersSinceK);

// The body in hand was cut off: nothing has come for bodyQuietTime while every poll was answered.
bool isCutOffBody(std::chrono::nanoseconds silence, int answersSinceData);

// ACK never stands inside a person's data: code page 932 has no character with a byte below
// 0x40 in second place. One after the body's first character is the start of another record's
// body, sent by an instrument that was reset, or that re-sent, in the middle of this one.
bool holdsSecondRecord(const QString& received);

// An instrument that re-sends its header on a timer may send a copy before our ACK to it
// arrives; the copy then reaches the body wait ahead of the body's leading ACK. Whole copies
// of the header at the start of what the body wait received are dropped from it. A header
// that holds ACK itself is never taken for a copy: that ACK could be the body's.
void dropHeaderCopies(QString& received, const QString& header);

// After the body is complete the line has to stay quiet for this long, through this many
// polls, before the record is taken as one person's. A next record whose header completed
// this one's 178 characters answers our last ACK with its body's ACK: one way through a USB
// serial adapter and back (16 ms each) and the instrument's turn between them. Counting polls
// as well keeps a stalled receiver from taking its own stall for the quiet.
constexpr std::chrono::milliseconds recordEndQuietTime { 50 };
constexpr int recordEndPolls = 48;
bool isRecordEnd(std::chrono::nanoseconds silence, int pollsSinceData);

// How long the line has been silent while the instrument had its answers. A poll that comes
// late (a busy machine, a stopped program, a window held in a modal loop) leaves an instrument
// that waits for our ACK silent because of us: the count starts again from such a poll, so a
// stall of any length never turns into a refusal or an abort by itself.
class AnsweredSilence {
public:
    // A poll this much later than the line's pace (one character time) was late.
    static constexpr std::chrono::nanoseconds lateAfter = 8 * SerialControl::characterTime;

    // From the moment data last came, as the port counted its silence then.
    explicit AnsweredSilence(std::chrono::nanoseconds portSilence)
        : m_from(portSilence)
        , m_lastSeen(portSilence)
    {
    }

    // After each poll's read: the port's silence then, and whether the read brought data.
    void observe(std::chrono::nanoseconds portSilence, bool data);
    // The poll just observed was answered with an ACK.
    void answered() { ++m_answers; }

    std::chrono::nanoseconds silence() const { return m_lastSeen - m_from; }
    int answers() const { return m_answers; }

private:
    std::chrono::nanoseconds m_from;
    std::chrono::nanoseconds m_lastSeen;
    int m_answers { 0 };
};

// The record body is the first minimumBodyLength characters after the header. Whatever the
// completing read brought beyond them depends on how the line cut the bytes into reads, and
// is dropped like the rest of the receive buffer, so a record means the same however it came.
QString recordBody(const QString& received);

}
