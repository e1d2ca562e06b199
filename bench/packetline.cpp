#include "packetline.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
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
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_error = systemError("openpty");
        m_master = m_slave = -1;
        return;
    }
    termios raw {};
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave, TCSANOW, &raw);
    int packet = 1;
    if (ioctl(m_master, TIOCPKT, &packet) != 0
        || fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0) {
        m_error = systemError("packet mode on the master");
        ::close(m_master);
        ::close(m_slave);
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
}

PacketLine::~PacketLine()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PacketLine::linkAsPort(const QString& folder, int port) const
{
    const QString link = folder + QStringLiteral("/com%1").arg(port);
    QFile::remove(link);
    return QDir().mkpath(folder) && QFile::link(m_slavePath, link);
}

bool PacketLine::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
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
    while (m_master >= 0) {
        const ssize_t got = ::read(m_master, buffer, sizeof buffer);
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
