#include "packetline.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr char ack = 0x06;

QString systemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

}

PacketLine::PacketLine()
{
    m_valid = m_line.open();
    if (!m_valid)
        m_error = m_line.errorString();
}

bool PacketLine::linkAsPort(const QString& folder, int port)
{
    if (m_link.create(folder, port, m_line.slavePath()))
        return true;
    m_error = m_link.errorString();
    return false;
}

bool PacketLine::write(const QByteArray& bytes)
{
    const int master = m_line.masterDescriptor();
    qsizetype done = 0;
    while (master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        // The slave's input queue holds kilobytes and we send a few bytes at a time, so a full
        // queue means the program stopped reading; waiting would only hide that.
        m_error = n < 0 ? systemError("writing to the line")
                        : QStringLiteral("writing to the line: nothing was taken");
        return false;
    }
    return done == bytes.size();
}

void PacketLine::drain()
{
    char buffer[4096];
    const int master = m_line.masterDescriptor();
    while (master >= 0) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0)
            return;
        // Packet mode: a zero byte leads data; any other first byte is a status report alone.
        if (buffer[0] != TIOCPKT_DATA) {
            if (buffer[0] & TIOCPKT_FLUSHREAD)
                ++m_discards;
            continue;
        }
        for (ssize_t i = 1; i < got; ++i) {
            if (buffer[i] == ack)
                ++m_acks;
            else
                ++m_otherBytes;
        }
    }
}
