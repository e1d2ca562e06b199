#include "terminationsignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
constexpr int handledSignals[] = { SIGTERM, SIGINT, SIGHUP };
int signalPipe[2] = { -1, -1 };

extern "C" void writeSignalNumber(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &number, 1);
    errno = savedErrno;
}
#endif

}

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action { };
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : handledSignals)
        ::sigaction(signalNumber, &action, nullptr);
#endif
}

TerminationSignals::~TerminationSignals()
{
#ifdef Q_OS_UNIX
    if (!m_notifier)
        return;
    for (const int signalNumber : handledSignals)
        std::signal(signalNumber, SIG_DFL);
    delete m_notifier;
    for (int& fd : signalPipe) {
        ::close(fd);
        fd = -1;
    }
#endif
}

void TerminationSignals::readPipe()
{
#ifdef Q_OS_UNIX
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1)
        Q_EMIT received(number);
#endif
}
