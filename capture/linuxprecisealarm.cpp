#include "precisealarm.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

struct PreciseAlarm::Handle {
    int fd { -1 };
    QSocketNotifier* notifier { nullptr };
};

PreciseAlarm::PreciseAlarm(QObject* parent)
    : QObject(parent)
{
    // steady_clock is CLOCK_MONOTONIC on Linux, so deadlines pass to the timer unchanged.
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return;
    m_handle = new Handle { fd, new QSocketNotifier(fd, QSocketNotifier::Read, this) };
    connect(m_handle->notifier, &QSocketNotifier::activated, this, [this] {
        fired();
        quint64 expirations = 0;
        [[maybe_unused]] const auto n = ::read(m_handle->fd, &expirations, sizeof expirations);
    });
}

PreciseAlarm::~PreciseAlarm()
{
    if (!m_handle)
        return;
    delete m_handle->notifier;
    ::close(m_handle->fd);
    delete m_handle;
}

bool PreciseAlarm::isValid() const { return m_handle != nullptr; }

void PreciseAlarm::armAt(std::chrono::steady_clock::time_point deadline)
{
    if (!m_handle || !takeNewDeadline(deadline))
        return;
    const auto ns
        = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    itimerspec spec {};
    spec.it_value.tv_sec = time_t(ns / 1'000'000'000);
    spec.it_value.tv_nsec = long(ns % 1'000'000'000);
    timerfd_settime(m_handle->fd, TFD_TIMER_ABSTIME, &spec, nullptr);
}
