#include "resultwatch.h"

#include <QFile>
#include <QFileInfo>

#include <sys/inotify.h>
#include <unistd.h>

ResultWatch::ResultWatch(const QString& filePath)
    : m_path(filePath)
    , m_name(QFileInfo(filePath).fileName().toLocal8Bit())
{
    m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0)
        return;
    // Written in place, renamed into place, or linked into place from an unnamed temporary
    // file (what QSaveFile does on Linux when no file is there yet).
    m_watch = inotify_add_watch(m_inotify,
        QFile::encodeName(QFileInfo(filePath).absolutePath()).constData(),
        IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
}

ResultWatch::~ResultWatch()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
}

bool ResultWatch::drain()
{
    bool concerned = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_inotify, buffer, sizeof buffer);
        if (got <= 0)
            return concerned;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && m_name == event->name)
                concerned = true;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

QByteArray ResultWatch::contents() const
{
    QFile file(m_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
