#include "resultfile.h"

#include "dosdevices.h"
#include "replacepolicy.h"

#include <QSaveFile>
#include <QThread>

namespace {

enum class Replace { Done, RenameFailed, Failed };

// One attempt at the atomic replace; *reason holds the system's word when it fails.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason)
{
    // Emptying the file in place and then writing let a polling reader catch it empty, and a
    // write that failed half-way destroyed the previous good line. A save file is written beside
    // the target and renamed over it only once complete.
    QSaveFile file(localPath);
    // Where the folder takes no new files but the file itself is writable, the line still has
    // to reach the reader; the price is the atomicity, which that folder does not allow.
    file.setDirectWriteFallback(ReplacePolicy::writeInPlaceWhenFolderRefuses());
    // Unbuffered, so that every write's outcome is seen here. A buffered file is flushed inside
    // commit(), which in Qt 6.4 renames it into place even when that flush stopped short (a full
    // disk, a size limit): a cut-off line would replace the good one. A short write is tried
    // again for the rest, and the attempt that fails outright carries the system's reason.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return Replace::Failed;
    }
    for (qsizetype done = 0; done < line.size();) {
        const qint64 written = file.write(line.constData() + done, line.size() - done);
        if (written <= 0) {
            *reason = file.errorString();
            file.cancelWriting();
            return Replace::Failed;
        }
        done += written;
    }
    if (file.commit())
        return Replace::Done;
    *reason = file.errorString();
    return file.error() == QFileDevice::RenameError ? Replace::RenameFailed : Replace::Failed;
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
        if (outcome == Replace::Failed || Clock::now() + retryPause > deadline)
            break;
        QThread::msleep(static_cast<unsigned long>(retryPause.count()));
    }
    return fail(errorMessage,
        QStringLiteral("Cannot write the result file %1 (%2): %3").arg(dosPath, localPath, reason));
}
