#include "tracefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TraceFile {

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
        *error = cause == ELOOP ? QStringLiteral("it is a symbolic link; name the file itself")
                                : QString::fromLocal8Bit(std::strerror(cause));
        return nullptr;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    // Another user's file may be read by that user: the desk's records do not go there.
    if (S_ISREG(info.st_mode) && info.st_uid != ::geteuid()) {
        *error
            = QStringLiteral("the file belongs to user id %1, not to this user").arg(info.st_uid);
        ::close(fd);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
            QFileDevice::AutoCloseHandle)) {
        *error = file->errorString();
        ::close(fd);
        return nullptr;
    }
    return file;
}

}
