#include "singleinstance.h"

#include "lockfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

// An X display as its server knows it, from "[protocol/][host]:number[.screen]". The screen is
// no other desk. The local machine has several spellings: an empty host and "unix" reach the
// server's socket, "localhost" and this host's name its TCP port 6000 + number, on which only
// that same server listens (an SSH session's forwarded displays take numbers from 10 up, and
// only where that port is free).
QString xDisplayKey(const QString& display)
{
    static const QRegularExpression form(QStringLiteral("^(?:.*/)?([^/]*?):(\\d+)(?:\\.\\d+)?$"));
    const QRegularExpressionMatch match = form.match(display);
    if (!match.hasMatch())
        return QStringLiteral("x11-") + display;
    const QString host = match.captured(1);
    const QString number = QString::number(match.captured(2).toInt());
    const bool local = host.isEmpty() || host == QLatin1String("unix")
        || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host == QLatin1String("127.0.0.1")
        || host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
    return local ? QStringLiteral("x11-") + number
                 : QStringLiteral("x11-%1-%2").arg(host.toLower(), number);
}

// A Wayland display as its socket: a bare name lies in the runtime folder.
QString waylandDisplayKey(const QString& display)
{
    if (QDir::isAbsolutePath(display))
        return QStringLiteral("wayland-") + QDir::cleanPath(display);
    return QStringLiteral("wayland-")
        + QDir::cleanPath(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + display);
}

// The desk the window goes to. A Wayland session comes first: it sets WAYLAND_DISPLAY for
// every program in it, and DISPLAY too where XWayland serves it, but a program started from
// some corners of it sees only the one. Keyed on the session's Wayland display, a reccap on
// Qt's X platform and one on its Wayland platform meet whichever they were given.
QString displayKey()
{
    QString key;
    if (const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY"); !wayland.isEmpty())
        key = waylandDisplayKey(wayland);
    else if (const QString x = qEnvironmentVariable("DISPLAY"); !x.isEmpty())
        key = xDisplayKey(x);
    else
        key = QGuiApplication::platformName();
    key.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return key;
}

}

SingleInstance::SingleInstance()
    : m_folder(LockFiles::userFolder())
    , m_lock(std::make_unique<QLockFile>(
          m_folder + QLatin1Char('/') + displayKey() + QStringLiteral(".lock")))
    , m_callPath(m_folder + QLatin1Char('/') + displayKey() + QStringLiteral(".call"))
{
    m_lock->setStaleLockTime(0);
}

// What another user left in the folder before we took their access away is there still: a
// named pipe would hold the open for good, before any window or message shows, and a link would
// have us empty whatever it points to. The window coming forward is a courtesy; without the
// file, the second start still says why it goes, and the running one carries on.
bool SingleInstance::callFileFit() const
{
    return LockFiles::problem(m_callPath, LockFiles::Owner::Us).isEmpty();
}

void SingleInstance::callHolder()
{
#ifdef Q_OS_WIN
    // Windows lets only the program the operator just started put a window in front; it hands
    // that right to the running reccap, which then may.
    qint64 pid = 0;
    if (m_lock->getLockInfo(&pid, nullptr, nullptr) && pid > 0)
        AllowSetForegroundWindow(DWORD(pid));
#endif
    if (!callFileFit())
        return;
    QFile call(m_callPath);
    if (call.open(QIODevice::WriteOnly | QIODevice::Truncate))
        call.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
}

void SingleInstance::answerCalls(std::function<void()> answer)
{
    if (!callFileFit())
        return;
    QFile call(m_callPath);
    if (!call.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    call.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    call.close();
    m_calls.addPath(m_callPath);
    QObject::connect(&m_calls, &QFileSystemWatcher::fileChanged,
        [this, answer = std::move(answer)](const QString& path) {
            // A writer that replaced the file instead of writing it ends the watch; resume it.
            if (!m_calls.files().contains(path) && QFile::exists(path))
                m_calls.addPath(path);
            answer();
        });
}

SingleInstance::Claim SingleInstance::unavailable(const QString& reason)
{
    m_problem = QCoreApplication::translate("SingleInstance",
        "Cannot make sure that only one reccap runs for this user on this display, so it does not "
        "start: %1")
                    .arg(reason);
    return Claim::Unavailable;
}

SingleInstance::Claim SingleInstance::claim()
{
    m_problem.clear();
    if (const QString problem = LockFiles::preparePrivateFolder(m_folder); !problem.isEmpty())
        return unavailable(problem);
    // Only we may write the folder, but what QLockFile is about to read is checked all the same:
    // the folder may have been open to others before we took that away.
    if (const QString problem = LockFiles::problem(lockPath(), LockFiles::Owner::Us);
        !problem.isEmpty())
        return unavailable(problem);
    if (m_lock->tryLock(0))
        return Claim::Claimed;
    if (m_lock->error() == QLockFile::PermissionError)
        return unavailable(QCoreApplication::translate(
            "SingleInstance", "cannot create the lock file %1 (permission denied)")
                               .arg(lockPath()));
    if (m_lock->error() != QLockFile::LockFailedError)
        return unavailable(
            QCoreApplication::translate("SingleInstance", "cannot write the lock file %1")
                .arg(lockPath()));
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
    m_problem = QCoreApplication::translate("SingleInstance",
        "Another reccap is already running for this user on this display: use its window (lock "
        "file %1)")
                    .arg(lockPath());
    return Claim::HeldByAnother;
}
