#include "ptypair.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool PtyPair::write(const QByteArray& bytes)
{
    const int master = m_line.masterDescriptor();
    qsizetype done = 0;
    while (master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return false;
        done += n;
    }
    return done == bytes.size();
}

QByteArray PtyPair::readAvailable()
{
    QByteArray result;
    char buffer[4096];
    const int master = m_line.masterDescriptor();
    while (master >= 0) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        // The line is in packet mode: data comes behind a zero byte, and a packet that starts
        // otherwise only reports a flush or the like.
        if (buffer[0] == TIOCPKT_DATA)
            result.append(buffer + 1, n - 1);
    }
    return result;
}
