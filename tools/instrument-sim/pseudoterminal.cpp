#include "pseudoterminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::~PseudoTerminal()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PseudoTerminal::stopReceiverOutput(bool stopped)
{
    return m_slave >= 0 && ::tcflow(m_slave, stopped ? TCOOFF : TCOON) == 0;
}

bool PseudoTerminal::fail(const QString& what)
{
    m_error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool PseudoTerminal::open()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        return fail(QStringLiteral("cannot create a pseudo-terminal"));
    m_slavePath = QString::fromLocal8Bit(name);

    // A serial line echoes nothing and translates nothing; the receiver sets its own modes
    // when it opens the port, but anything sent before that must not come back at us.
    termios modes {};
    if (::tcgetattr(m_slave, &modes) != 0)
        return fail(QStringLiteral("cannot read the line modes"));
    ::cfmakeraw(&modes);
    ::cfsetispeed(&modes, B9600);
    ::cfsetospeed(&modes, B9600);
    if (::tcsetattr(m_slave, TCSANOW, &modes) != 0)
        return fail(QStringLiteral("cannot make the line raw"));

    int on = 1;
    if (::ioctl(m_master, TIOCPKT, &on) != 0)
        return fail(QStringLiteral("cannot put the line in packet mode"));
    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail(QStringLiteral("cannot make the line non-blocking"));
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    return true;
}
