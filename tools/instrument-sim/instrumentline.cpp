#include "instrumentline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr char ack = 0x06;
// With no slave open anywhere the master reports a hang-up at once and for good; we then
// look again at this pace instead of spinning.
constexpr std::chrono::milliseconds hangUpRetry(20);

int millisecondsUntil(InstrumentLine::Clock::time_point until)
{
    const auto left
        = std::chrono::ceil<std::chrono::milliseconds>(until - InstrumentLine::Clock::now());
    return static_cast<int>(std::clamp<qint64>(left.count(), 0, 1000 * 60 * 60));
}

}

InstrumentLine::InstrumentLine(int masterDescriptor, int signalDescriptor)
    : m_master(masterDescriptor)
    , m_signals(signalDescriptor)
{
}

void InstrumentLine::noteStop()
{
    signalfd_siginfo info {};
    while (::read(m_signals, &info, sizeof info) == sizeof info)
        m_stopped = true;
}

bool InstrumentLine::waitReadable(Clock::time_point until, short events)
{
    pollfd fds[2] = { { m_master, events, 0 }, { m_signals, POLLIN, 0 } };
    const int ready = ::poll(fds, 2, millisecondsUntil(until));
    if (ready < 0 && errno != EINTR) {
        m_error = QStringLiteral("waiting on the line: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (ready > 0 && (fds[1].revents & POLLIN))
        noteStop();
    if (ready > 0 && (fds[0].revents & POLLHUP) && !(fds[0].revents & (POLLIN | POLLPRI))) {
        pollfd signalOnly = { m_signals, POLLIN, 0 };
        const Clock::time_point retry = std::min(until, Clock::now() + hangUpRetry);
        if (::poll(&signalOnly, 1, millisecondsUntil(retry)) > 0)
            noteStop();
    }
    return !m_stopped;
}

bool InstrumentLine::pump(Clock::time_point until)
{
    if (m_stopped || failed() || !catchUp())
        return false;
    if (!waitReadable(std::min(until, nextDue()), POLLIN | POLLPRI))
        return false;
    takeIn();
    return catchUp() && !m_stopped && !failed();
}

InstrumentLine::Clock::time_point InstrumentLine::nextDue() const
{
    Clock::time_point due = Clock::time_point::max();
    if (!m_heard.empty())
        due = std::min(due, m_heard.front().due);
    if (!m_outgoing.empty())
        due = std::min(due, m_outgoing.front().due);
    return due;
}

bool InstrumentLine::catchUp()
{
    hearDue();
    const Clock::time_point now = Clock::now();
    while (!m_outgoing.empty() && m_outgoing.front().due <= now) {
        const QByteArray bytes = m_outgoing.front().bytes;
        m_outgoing.pop_front();
        if (!writeNow(bytes, now + std::chrono::seconds(5)))
            return false;
    }
    return true;
}

void InstrumentLine::hearDue()
{
    const Clock::time_point now = Clock::now();
    while (!m_heard.empty() && m_heard.front().due <= now) {
        const InFlight event = m_heard.front();
        m_heard.pop_front();
        switch (event.what) {
        case Heard::Ack:
            ++m_acks;
            m_lastAckAt = event.due;
            m_lastActivityAt = event.due;
            break;
        case Heard::Discard:
            ++m_discards;
            m_lastActivityAt = event.due;
            break;
        case Heard::Other:
            ++m_otherBytes;
            break;
        }
    }
}

void InstrumentLine::hear(Heard what, Clock::time_point at)
{
    m_heard.push_back({ at + m_latency, what });
}

void InstrumentLine::takeIn()
{
    for (;;) {
        char buffer[4096];
        const ssize_t got = ::read(m_master, buffer, sizeof buffer);
        if (got < 0) {
            // EIO: nobody holds the slave; as good as silence.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO)
                m_error = QStringLiteral("reading the line: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if (got == 0)
            return;
        const Clock::time_point now = Clock::now();
        // Packet mode: a zero byte leads data; any other first byte is a status report alone.
        if (buffer[0] != TIOCPKT_DATA) {
            if (buffer[0] & TIOCPKT_FLUSHREAD)
                hear(Heard::Discard, now);
            continue;
        }
        for (ssize_t i = 1; i < got; ++i)
            hear(buffer[i] == ack ? Heard::Ack : Heard::Other, now);
    }
    // Only what was heard: a write in progress may be what took us here.
    hearDue();
}

bool InstrumentLine::write(const QByteArray& bytes, Clock::time_point until)
{
    if (m_latency.count() == 0)
        return writeNow(bytes, until);
    m_outgoing.push_back({ Clock::now() + m_latency, bytes });
    return catchUp();
}

bool InstrumentLine::writeNow(const QByteArray& bytes, Clock::time_point until)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = ::write(m_master, bytes.constData() + sent, bytes.size() - sent);
        if (put > 0) {
            sent += put;
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_error = QStringLiteral("writing to the line: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (Clock::now() >= until) {
            m_error = QStringLiteral("the line took no more input: nobody reads it");
            return false;
        }
        if (!waitReadable(until, POLLOUT))
            return false;
        // Whatever came in meanwhile must still be counted.
        takeIn();
    }
    return true;
}
