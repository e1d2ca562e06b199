#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <deque>

// What the instrument hears from the receiver, and how it talks back. The receiver only ever
// sends ACK; besides those we count its input discards, which the master's packet mode
// reports, and anything else it sends. Waiting is poll() with a deadline; a stop signal
// (SIGINT, SIGTERM, SIGHUP) ends every wait.
class InstrumentLine {
public:
    using Clock = std::chrono::steady_clock;

    InstrumentLine(int masterDescriptor, int signalDescriptor);

    // How long bytes take each way between the receiver and us, as through a USB serial
    // adapter that hands them over in frames: what we write reaches the line that much later,
    // and what the receiver sends is heard that much later. Zero (the default) for at once.
    void setLatency(std::chrono::milliseconds eachWay) { m_latency = eachWay; }

    // Takes in whatever arrives until the deadline or the first arrival, whichever is first;
    // a deadline in the past only takes in what is already there. False when stopped or failed.
    bool pump(Clock::time_point until);
    // Sends all of bytes, waiting for room in the line no later than the deadline.
    bool write(const QByteArray& bytes, Clock::time_point until);

    qint64 acks() const { return m_acks; }
    qint64 discards() const { return m_discards; }
    qint64 otherBytes() const { return m_otherBytes; }
    Clock::time_point lastAckAt() const { return m_lastAckAt; }
    Clock::time_point lastActivityAt() const { return m_lastActivityAt; }

    bool stopped() const { return m_stopped; }
    bool failed() const { return !m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    enum class Heard { Ack, Discard, Other };
    struct InFlight {
        Clock::time_point due;
        Heard what;
    };
    struct Outgoing {
        Clock::time_point due;
        QByteArray bytes;
    };

    bool waitReadable(Clock::time_point until, short events);
    void takeIn();
    void hear(Heard what, Clock::time_point at);
    // Delivers what the latency held back and is due by now; false when a write failed.
    bool catchUp();
    void hearDue();
    bool writeNow(const QByteArray& bytes, Clock::time_point until);
    Clock::time_point nextDue() const;
    void noteStop();

    std::chrono::milliseconds m_latency { 0 };
    std::deque<InFlight> m_heard;
    std::deque<Outgoing> m_outgoing;

    int m_master { -1 };
    int m_signals { -1 };
    qint64 m_acks { 0 };
    qint64 m_discards { 0 };
    qint64 m_otherBytes { 0 };
    Clock::time_point m_lastAckAt {};
    Clock::time_point m_lastActivityAt {};
    bool m_stopped { false };
    QString m_error;
};
