#include "tracefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TraceFile {

namespace {

    // A trace goes to a file that keeps it; a pipe, a device or a socket at the name would
    // swallow it or hand it to whoever reads there.
    QString notAFile(mode_t mode)
    {
        const char* what = S_ISFIFO(mode) ? "a named pipe (FIFO)"
            : S_ISCHR(mode)               ? "a character device"
            : S_ISBLK(mode)               ? "a block device"
            : S_ISSOCK(mode)              ? "a socket"
            : S_ISDIR(mode)               ? "a folder"
                                          : "something other than a file";
        return QStringLiteral("it is %1, not a plain file; name a file for the trace")
            .arg(QLatin1String(what));
    }

    // Whether the descriptor is a plain file's; when it is not, or cannot be told, it is
    // closed and *error says why.
    bool statPlainFile(int fd, struct stat* info, QString* error)
    {
        if (::fstat(fd, info) != 0)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        else if (!S_ISREG(info->st_mode))
            *error = notAFile(info->st_mode);
        else
            return true;
        ::close(fd);
        return false;
    }

    std::unique_ptr<QFile> fileFor(int fd, QIODevice::OpenMode mode, QString* error)
    {
        auto file = std::make_unique<QFile>();
        if (file->open(fd, mode, QFileDevice::AutoCloseHandle))
            return file;
        *error = file->errorString();
        ::close(fd);
        return nullptr;
    }

}

QString resolve(const QString& name) { return name; }

std::unique_ptr<QFile> openForAppend(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NOFOLLOW: a link planted at the name in a shared folder would carry the records into
    // someone else's file. O_NONBLOCK: a pipe with no reader fails here instead of holding the
    // window; on a plain file it changes nothing.
    const int fd = ::open(native.constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int cause = errno;
        struct stat info { };
        // A pipe nobody reads fails the open (ENXIO), and so does a socket: say what they are.
        if (cause != ELOOP && ::lstat(native.constData(), &info) == 0 && !S_ISREG(info.st_mode)
            && !S_ISLNK(info.st_mode))
            *error = notAFile(info.st_mode);
        else
            *error = cause == ELOOP ? QStringLiteral("it is a symbolic link; name the file itself")
                                    : QString::fromLocal8Bit(std::strerror(cause));
        return nullptr;
    }
    struct stat info { };
    if (!statPlainFile(fd, &info, error))
        return nullptr;
    // Another user's file may be read by that user: the desk's records do not go there.
    if (info.st_uid != ::geteuid()) {
        *error
            = QStringLiteral("the file belongs to user id %1, not to this user").arg(info.st_uid);
        ::close(fd);
        return nullptr;
    }
    // Another name may be another file of this user's that a co-user linked here, where hard
    // links to other users' files are allowed: the records would land in it.
    if (info.st_nlink > 1) {
        *error = QStringLiteral("it has %1 names (hard links); a trace goes to a file of its own")
                     .arg(info.st_nlink);
        ::close(fd);
        return nullptr;
    }
    // A trace made readable by others, by hand or by an older program, holds the same
    // personal data as a new one.
    if ((info.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return fileFor(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, error);
}

std::unique_ptr<QFile> openForReading(const QString& path, QString* error)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat info { };
    if (!statPlainFile(fd, &info, error))
        return nullptr;
    return fileFor(fd, QIODevice::ReadOnly, error);
}

}
