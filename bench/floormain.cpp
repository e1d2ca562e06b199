// The floor: the least an event-loop program can do to poll the line once per character time
// and answer each poll, with nothing of Qt around it. The benchmark plays the same instrument
// to it as to reccap, so whatever reccap spends above this loop during a body is its own.
//
// One poll is one wake-up and five system calls: arm the timer, wait, read the timer, read the
// line, write the ACK. The wait always includes an idle descriptor, as an event loop's wait
// includes its wake-up descriptor and the X connection; nothing ever signals it.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Ten bits (start, 8 data, stop) at 9600 baud.
constexpr long characterNs = 10'000'000'000L / 9600;
constexpr int headerLength = 4;
constexpr char ack = 0x06;

[[noreturn]] void die(const char* what)
{
    std::fprintf(stderr, "reccap-floor: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

timespec now()
{
    timespec at {};
    clock_gettime(CLOCK_MONOTONIC, &at);
    return at;
}

timespec later(timespec at, long ns)
{
    at.tv_nsec += ns;
    while (at.tv_nsec >= 1'000'000'000L) {
        at.tv_nsec -= 1'000'000'000L;
        ++at.tv_sec;
    }
    return at;
}

void openRaw(int line)
{
    termios settings {};
    if (tcgetattr(line, &settings) != 0)
        die("tcgetattr");
    cfmakeraw(&settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    settings.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(line, TCSANOW, &settings) != 0)
        die("tcsetattr");
}

void sendAck(int line)
{
    if (::write(line, &ack, 1) < 0 && errno != EAGAIN)
        die("write");
}

void awaitHeader(int line, int idle)
{
    char bytes[headerLength];
    int got = 0;
    while (got < headerLength) {
        pollfd fds[2] = { { line, POLLIN, 0 }, { idle, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            die("poll");
        const ssize_t n = ::read(line, bytes + got, size_t(headerLength - got));
        if (n > 0)
            got += int(n);
    }
}

void pollBody(int line, int idle, int timer, long bodyLength)
{
    char bytes[256];
    long got = 0;
    timespec lastPoll = now();
    while (got < bodyLength) {
        itimerspec due {};
        due.it_value = later(lastPoll, characterNs);
        if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &due, nullptr) != 0)
            die("timerfd_settime");
        pollfd fds[2] = { { timer, POLLIN, 0 }, { idle, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            die("poll");
        unsigned long long expirations = 0;
        [[maybe_unused]] const ssize_t fired = ::read(timer, &expirations, sizeof expirations);
        // Never past the body: the next header must stay on the line for the header wait.
        const long wanted = std::min<long>(long(sizeof bytes), bodyLength - got);
        const ssize_t n = ::read(line, bytes, size_t(wanted));
        if (n > 0)
            got += n;
        sendAck(line);
        // A character time from the end of this poll, as the program rests. The clock is read
        // in user space (vDSO): it costs no system call.
        lastPoll = now();
    }
}

}

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: reccap-floor SLAVE-PATH BODY-BYTES\n");
        return 2;
    }
    const long bodyLength = std::strtol(argv[2], nullptr, 10);
    if (bodyLength < 1) {
        std::fprintf(stderr, "reccap-floor: BODY-BYTES must be >= 1\n");
        return 2;
    }
    const int line = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0)
        die(argv[1]);
    openRaw(line);
    const int idle = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (idle < 0 || timer < 0)
        die("eventfd or timerfd_create");
    for (;;) {
        // The discard a reopened port makes; the benchmark waits for it before a header.
        tcflush(line, TCIFLUSH);
        awaitHeader(line, idle);
        tcflush(line, TCIFLUSH);
        sendAck(line);
        pollBody(line, idle, timer, bodyLength);
        tcflush(line, TCIFLUSH);
    }
}
