#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

// What the result file's atomic replace may meet on this system, and how to answer it. On
// Linux a rename replaces a file that another program has open, and the replacement is a new
// file that must be given the old one's owner and group; in a folder shared with other users a
// link at the result file's name may be another user's, and is never written through. On Windows
// a reader that opened the file without delete sharing blocks the rename for as long as it holds
// the file, and a standard user may write an existing C:\Result.txt but not create files beside
// it in C:\.
namespace ReplacePolicy {

// Busy: another program kept the file from being replaced or written, perhaps only for a
// moment; it is tried again until the retry limit has passed. HeldOpen: a reader holds the file
// in a way that keeps it from being replaced but not, perhaps, from being written in place.
enum class Replace { Done, Busy, TemporaryRefused, HeldOpen, Failed };

// How long a busy file is tried again before it counts as a write failure.
std::chrono::milliseconds renameRetryLimit();

// One attempt at replacing the file at localPath with one holding `line`, by a complete file
// renamed over it. TemporaryRefused: the folder takes no new file there, and only the existing
// file may be written. On failure *reason holds the system's word.
Replace replaceOnce(const QString& localPath, const QByteArray& line, QString* reason);

// Whether a line could be written at localPath now, by the replace or, where the folder takes no
// new file, in place, asked without writing anything: a record is answered only when its line
// has somewhere to go. On false *reason holds what stands in the way.
bool checkWritable(const QString& localPath, QString* reason);

// Overwrites the existing file at localPath with `line`. Failed, with *reason as it was, when
// there is no such file; with the reason set when the write fails or when the file has another
// name (a hard link), which would take the line too.
Replace writeInPlace(const QString& localPath, const QByteArray& line, QString* reason);

}
