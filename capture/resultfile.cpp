#include "resultfile.h"

#include "dosdevices.h"

#include <QFile>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool fail(QString* errorMessage, const QString& message)
{
    if (errorMessage)
        *errorMessage = message;
    return false;
}

// The replacement is a new file, created with this process's owner and group. An
// administrator who prepared the result file for the program that reads it expects that
// program to go on reading it, so the new file takes the old one's owner and group where this
// process may give them: root may give both, any owner may give a group it belongs to. The
// save file already copies the mode.
void keepOwnerAndGroup(const QSaveFile& file, const QString& localPath)
{
#ifdef Q_OS_UNIX
    struct stat old { };
    if (::stat(QFile::encodeName(localPath).constData(), &old) != 0)
        return;
    const int fd = file.handle();
    struct stat replacement { };
    // Written in place, the file is the old one and keeps what it has.
    if (fd < 0 || ::fstat(fd, &replacement) != 0 || replacement.st_ino == old.st_ino
        || ::fchown(fd, old.st_uid, old.st_gid) == 0)
        return;
    [[maybe_unused]] const int groupOnly = ::fchown(fd, uid_t(-1), old.st_gid);
#else
    Q_UNUSED(file);
    Q_UNUSED(localPath);
#endif
}

}

bool ResultFile::write(const QString& dosPath, const QByteArray& line, QString* errorMessage)
{
    const QString localPath = DosDevices::localPath(dosPath);
    if (localPath.isEmpty()) {
        return fail(errorMessage,
            QStringLiteral("Cannot write the result file %1: no folder is mapped for drive %2:")
                .arg(dosPath, dosPath.left(1).toUpper()));
    }

    // Emptying the file in place and then writing let a polling reader catch it empty, and a
    // write that failed half-way destroyed the previous good line. A save file is written beside
    // the target and renamed over it only once complete.
    QSaveFile file(localPath);
    const auto failWith = [&](const QString& reason) {
        return fail(errorMessage,
            QStringLiteral("Cannot write the result file %1 (%2): %3")
                .arg(dosPath, localPath, reason));
    };
    // Unbuffered, so that every write's outcome is seen here. A buffered file is flushed inside
    // commit(), which in Qt 6.4 renames it into place even when that flush stopped short (a full
    // disk, a size limit): a cut-off line would replace the good one. A short write is tried
    // again for the rest, and the attempt that fails outright carries the system's reason.
    //
    // A folder that the user may not write, holding a Result.txt that the user may, is common
    // where an administrator prepared the file (and is the rule for C:\ on Windows): no file
    // can be made beside the target there, so the existing file is written in place instead.
    // That write is no longer atomic, but it is the only one the folder allows; if it fails,
    // the failure is reported like any other.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failWith(file.errorString());
    keepOwnerAndGroup(file, localPath);
    for (qsizetype done = 0; done < line.size();) {
        const qint64 written = file.write(line.constData() + done, line.size() - done);
        if (written <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return failWith(reason);
        }
        done += written;
    }
    if (!file.commit())
        return failWith(file.errorString());
    return true;
}
