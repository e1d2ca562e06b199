#include "resultfile.h"

#include "dosdevices.h"

#include <QSaveFile>

namespace {

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
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failWith(file.errorString());
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
