#include "lockfiles.h"

#include "accountname.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LockFiles {

namespace {

    QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

    QString ownerName(uid_t uid)
    {
        const QString name = accountName(uid);
        if (name.isEmpty())
            return QStringLiteral("uid %1").arg(uid);
        return QStringLiteral("%1 (uid %2)").arg(name).arg(uid);
    }

    // What lstat found, in words, with its owner: the operator has to tell an administrator
    // what to remove and whose it was.
    QString describe(const QString& path, const struct stat& info)
    {
        QString what;
        switch (info.st_mode & S_IFMT) {
        case S_IFREG:
            what = info.st_size > maxLockSize
                ? QCoreApplication::translate("LockFiles", "a file of %1 bytes").arg(info.st_size)
                : QCoreApplication::translate("LockFiles", "a file");
            break;
        case S_IFDIR:
            what = QCoreApplication::translate("LockFiles", "a folder");
            break;
        case S_IFIFO:
            what = QCoreApplication::translate("LockFiles", "a named pipe (FIFO)");
            break;
        case S_IFLNK:
            what = QCoreApplication::translate("LockFiles", "a symbolic link to %1")
                       .arg(QFile::symLinkTarget(path));
            break;
        case S_IFCHR:
        case S_IFBLK:
            what = QCoreApplication::translate("LockFiles", "a device node");
            break;
        case S_IFSOCK:
            what = QCoreApplication::translate("LockFiles", "a socket");
            break;
        default:
            what = QCoreApplication::translate("LockFiles", "no file");
            break;
        }
        return QCoreApplication::translate("LockFiles", "%1, owned by %2")
            .arg(what, ownerName(info.st_uid));
    }

    QString remedy(const struct stat& info)
    {
        return info.st_uid == ::geteuid()
            ? QCoreApplication::translate("LockFiles", "remove it")
            : QCoreApplication::translate("LockFiles", "ask an administrator to remove it");
    }

}

QString problem(const QString& path, Owner owner)
{
    if (path.isEmpty())
        return {};
    for (const QString& candidate : { path, path + QStringLiteral(".rmlock") }) {
        struct stat info { };
        // Nothing there, or a folder we may not search: QLockFile reads nothing either.
        if (::lstat(QFile::encodeName(candidate).constData(), &info) != 0)
            continue;
        const bool plainLock = S_ISREG(info.st_mode) && info.st_size <= maxLockSize
            && (owner == Owner::Anyone || info.st_uid == ::geteuid());
        if (!plainLock)
            return QCoreApplication::translate(
                "LockFiles", "the lock file %1 is %2, not a lock that reccap may read: %3")
                .arg(candidate, describe(candidate, info), remedy(info));
    }
    return {};
}

QString ownerOf(const QString& path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return ownerName(info.st_uid);
}

QString userFolder()
{
    // The runtime folder is the user's alone, made by the login for this purpose.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QFileInfo info(runtime);
    if (!runtime.isEmpty() && info.isAbsolute() && info.isDir() && info.isWritable())
        return QDir::cleanPath(runtime) + QStringLiteral("/reccap");
    // Not QDir::tempPath(): for a $TMPDIR that does not exist it is empty, and the folder would
    // land in "/".
    QString temp = qEnvironmentVariable("TMPDIR");
    if (temp.isEmpty() || QDir::isRelativePath(temp))
        temp = QStringLiteral("/tmp");
    return QDir::cleanPath(temp) + QStringLiteral("/reccap-%1").arg(::geteuid());
}

QString preparePrivateFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return QCoreApplication::translate(
            "LockFiles", "cannot create the folder %1 for reccap's lock (%2)")
            .arg(path, systemError(errno));
    // In the shared temporary folder the name is known in advance, and another user may have
    // taken it first; whatever is there must be a folder of ours, not a link to one.
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0)
        return QCoreApplication::translate(
            "LockFiles", "cannot look at the folder %1 for reccap's lock (%2)")
            .arg(path, systemError(errno));
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return QCoreApplication::translate(
            "LockFiles", "%1 is %2, not this user's own folder for reccap's lock: %3")
            .arg(path, describe(path, info), remedy(info));
    if ((info.st_mode & 077) == 0)
        return {};

    // Changed through a descriptor of the very folder just checked, never through the name.
    const int folder = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened { };
    int error = 0;
    if (folder < 0 || ::fstat(folder, &opened) != 0)
        error = errno;
    else if (opened.st_dev != info.st_dev || opened.st_ino != info.st_ino)
        error = EAGAIN;
    else if (::fchmod(folder, 0700) != 0)
        error = errno;
    if (folder >= 0)
        ::close(folder);
    if (error != 0)
        return QCoreApplication::translate("LockFiles",
            "cannot take other users' access to the folder %1 for reccap's lock away (%2)")
            .arg(path, systemError(error));
    return {};
}

}
