#include "resultfile.h"

#include "dosdevices.h"
#include "replacepolicy.h"

#include <QFile>
#include <QSaveFile>
#include <QThread>

namespace {

enum class Replace { Done, RenameFailed, TemporaryRefused, Failed };

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

// One attempt at the atomic replace; *reason holds the system's word when it fails.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason)
{
    // Emptying the file in place and then writing let a polling reader catch it empty, and a
    // write that failed half-way destroyed the previous good line. A save file is written beside
    // the target and renamed over it only once complete.
    QSaveFile file(localPath);
    // Unbuffered, so that every write's outcome is seen here. A buffered file is flushed inside
    // commit(), which in Qt 6.4 renames it into place even when that flush stopped short (a full
    // disk, a size limit): a cut-off line would replace the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return file.error() == QFileDevice::OpenError ? Replace::TemporaryRefused : Replace::Failed;
    }
    ReplacePolicy::keepOwnerAndGroup(file.handle(), localPath);
    if (!writeAll(file, line, reason)) {
        file.cancelWriting();
        return Replace::Failed;
    }
    if (file.commit())
        return Replace::Done;
    *reason = file.errorString();
    return file.error() == QFileDevice::RenameError ? Replace::RenameFailed : Replace::Failed;
}

// Overwrites an existing file where its folder takes no temporary file beside it: a Result.txt
// that the user may write in a folder that the user may not is common where an administrator
// prepared the file, and is the rule for C:\ on Windows. That write is no longer atomic, but it
// is the only one the folder allows, and a failure of it is reported like any other. The old
// line is overwritten first and the file cut to the new length after, so a reader may catch a
// mix of the two lines for a moment but never an empty file, as Qt's own fallback (empty the
// file, then write) would let it.
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

bool fail(QString* errorMessage, const QString& message)
{
    if (errorMessage)
        *errorMessage = message;
    return false;
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

    using Clock = std::chrono::steady_clock;
    // Long enough for the holder to let go, short enough not to stall the window noticeably.
    constexpr auto retryPause = std::chrono::milliseconds(20);
    const auto deadline = Clock::now() + ReplacePolicy::renameRetryLimit();
    QString reason;
    for (;;) {
        const Replace outcome = replaceOnce(localPath, line, &reason);
        if (outcome == Replace::Done)
            return true;
        if (outcome == Replace::TemporaryRefused) {
            if (writeInPlace(localPath, line, &reason))
                return true;
            break;
        }
        if (outcome == Replace::Failed || Clock::now() + retryPause > deadline)
            break;
        QThread::msleep(static_cast<unsigned long>(retryPause.count()));
    }
    return fail(errorMessage,
        QStringLiteral("Cannot write the result file %1 (%2): %3").arg(dosPath, localPath, reason));
}
