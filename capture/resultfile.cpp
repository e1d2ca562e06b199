#include "resultfile.h"

#include "dosdevices.h"
#include "replacepolicy.h"

#include <QCoreApplication>
#include <QThread>

namespace {

bool fail(QString* errorMessage, const QString& message)
{
    if (errorMessage)
        *errorMessage = message;
    return false;
}

QString unmapped(const QString& dosPath)
{
    return QCoreApplication::translate(
        "ResultFile", "Cannot write the result file %1: no folder is mapped for drive %2:")
        .arg(dosPath, dosPath.left(1).toUpper());
}

QString unwritable(const QString& dosPath, const QString& localPath, const QString& reason)
{
    return QCoreApplication::translate("ResultFile", "Cannot write the result file %1 (%2): %3")
        .arg(dosPath, localPath, reason);
}

}

bool ResultFile::checkWritable(const QString& dosPath, QString* errorMessage)
{
    const QString localPath = DosDevices::localPath(dosPath);
    if (localPath.isEmpty())
        return fail(errorMessage, unmapped(dosPath));
    QString reason;
    if (!ReplacePolicy::checkWritable(localPath, &reason))
        return fail(errorMessage, unwritable(dosPath, localPath, reason));
    return true;
}

bool ResultFile::write(const QString& dosPath, const QByteArray& line, QString* errorMessage)
{
    using ReplacePolicy::Replace;
    const QString localPath = DosDevices::localPath(dosPath);
    if (localPath.isEmpty()) {
        return fail(errorMessage, unmapped(dosPath));
    }

    using Clock = std::chrono::steady_clock;
    // Long enough for the holder to let go, short enough not to stall the window noticeably.
    constexpr auto retryPause = std::chrono::milliseconds(20);
    const auto deadline = Clock::now() + ReplacePolicy::renameRetryLimit();
    QString reason;
    bool inPlace = false;
    for (;;) {
        const Replace outcome = inPlace ? ReplacePolicy::writeInPlace(localPath, line, &reason)
                                        : ReplacePolicy::replaceOnce(localPath, line, &reason);
        if (outcome == Replace::Done)
            return true;
        // A Result.txt that the user may write in a folder that takes no new file from the user
        // is common where an administrator prepared the file, and is the rule for C:\ on
        // Windows. Writing it in place is not atomic, but it is the only write the folder
        // allows; a reader in the way is waited for as for the replace, and a failure of it is
        // reported like any other.
        // A reader that keeps the file open without delete sharing blocks a replace for as long
        // as it reads, which may be for good; most such readers share writing, and the in-place
        // write, which waits for one that does not, gets the line to them all the same.
        if ((outcome == Replace::TemporaryRefused || outcome == Replace::HeldOpen) && !inPlace) {
            inPlace = true;
            continue;
        }
        if (outcome != Replace::Busy || Clock::now() + retryPause > deadline)
            break;
        QThread::msleep(static_cast<unsigned long>(retryPause.count()));
    }
    return fail(errorMessage, unwritable(dosPath, localPath, reason));
}
