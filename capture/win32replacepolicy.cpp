#include "replacepolicy.h"

#include <QFile>
#include <QSaveFile>

namespace ReplacePolicy {

namespace {

    // A short write is tried again for the rest; the attempt that fails outright carries the
    // system's reason.
    bool writeAll(QFileDevice& file, const QByteArray& line, QString* reason)
    {
        for (qsizetype done = 0; done < line.size();) {
            const qint64 written = file.write(line.constData() + done, line.size() - done);
            if (written <= 0) {
                *reason = file.errorString();
                return false;
            }
            done += written;
        }
        return true;
    }

}

// Readers and virus scanners hold the file for milliseconds; a second is far beyond them and
// still short for an operator waiting on the next record.
std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(1000); }

// Emptying the file in place and then writing let a polling reader catch it empty, and a write
// that failed half-way destroyed the previous good line. A save file is written beside the
// target and renamed over it only once complete. The replacement inherits the folder's
// permissions, which is what an administrator who prepared C:\Result.txt set up; there is no
// owner to carry over.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason)
{
    QSaveFile file(localPath);
    // Unbuffered, so that every write's outcome is seen here. A buffered file is flushed inside
    // commit(), which in Qt 6.4 renames it into place even when that flush stopped short (a full
    // disk, a size limit): a cut-off line would replace the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return file.error() == QFileDevice::OpenError ? Replace::TemporaryRefused : Replace::Failed;
    }
    if (!writeAll(file, line, reason)) {
        file.cancelWriting();
        return Replace::Failed;
    }
    if (file.commit())
        return Replace::Done;
    *reason = file.errorString();
    return file.error() == QFileDevice::RenameError ? Replace::RenameFailed : Replace::Failed;
}

// The old line is overwritten first and the file cut to the new length after, so a reader may
// catch a mix of the two lines for a moment but never an empty file, as Qt's own fallback (empty
// the file, then write) would let it.
bool writeInPlace(const QString& localPath, const QByteArray& line, QString* reason)
{
    QFile file(localPath);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return false;
    }
    if (!writeAll(file, line, reason))
        return false;
    if (!file.resize(line.size())) {
        *reason = file.errorString();
        return false;
    }
    return true;
}

}
