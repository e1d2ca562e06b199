#pragma once

#include <QByteArray>
#include <QString>

// The result file holds the latest good record's line for another program that polls it.
class ResultFile {
public:
    // Replaces the file at a DOS path such as "C:\Result.txt" with `line`, atomically: a reader
    // sees the previous complete line or the new one, never an empty or partial file, and a
    // failed write leaves the previous line in place. On failure returns false and sets
    // *errorMessage (when given) to a message naming both paths and the system's reason. A link
    // at the name that belongs to another user than this one or root is never written through.
    static bool write(const QString& dosPath, const QByteArray& line, QString* errorMessage);

    // Whether write() would find the file writable now; a record is not answered otherwise, as
    // the instrument forgets a record once it is answered. The message is as for write().
    static bool checkWritable(const QString& dosPath, QString* errorMessage);
};
