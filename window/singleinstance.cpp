#include "singleinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// ":0" and ":0.0" are the same display; the screen does not make another desk.
QString displayKey()
{
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty()) {
        display = qEnvironmentVariable("DISPLAY");
        display.remove(QRegularExpression(QStringLiteral("\\.\\d+$")));
    }
    QString key = QGuiApplication::platformName() + QLatin1Char('-') + display;
    key.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return key;
}

QString lockFolder()
{
    // The runtime folder belongs to the user alone; the shared temporary folder takes the
    // user's id into the name instead.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QFileInfo info(runtime);
    if (!runtime.isEmpty() && info.isAbsolute() && info.isDir() && info.isWritable())
        return runtime + QStringLiteral("/reccap-");
#ifdef Q_OS_UNIX
    return QDir::tempPath() + QStringLiteral("/reccap-%1-").arg(::getuid());
#else
    return QDir::tempPath() + QStringLiteral("/reccap-");
#endif
}

}

SingleInstance::SingleInstance()
    : m_lock(std::make_unique<QLockFile>(lockFolder() + displayKey() + QStringLiteral(".lock")))
{
    m_lock->setStaleLockTime(0);
}

SingleInstance::Claim SingleInstance::claim()
{
    if (m_lock->tryLock(0))
        return Claim::Claimed;
    if (m_lock->error() != QLockFile::LockFailedError)
        return Claim::Unavailable;
    // Process ids come round again: after a restart, and under Wine after every restart of
    // its server, this very program may get the id that a killed reccap wrote into the lock.
    // Such a lock names a running reccap, so it looks held; but it names us, and we do not
    // hold it. The folder is this user's on this machine, so the lock's host name adds
    // nothing (and on Windows it is spelt differently from the one Qt reports).
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_lock->getLockInfo(&pid, &host, &application) && pid == QCoreApplication::applicationPid()
        && m_lock->removeStaleLockFile() && m_lock->tryLock(0))
        return Claim::Claimed;
    return Claim::HeldByAnother;
}
