#pragma once

#include <QFile>
#include <QString>
#include <memory>

// Where a line trace goes and how it is opened. A trace holds the names and dates of birth of
// the people at the desk, so it is only ever appended to, never replaced: a desk that records
// for a week keeps every day, and a name given twice loses nothing. Each system has its own
// idea of a private place (posixtracefile.cpp, win32tracefile.cpp).
namespace TraceFile {

// The file a trace name given on the command line or in RECCAP_TRACE stands for. On Linux a
// relative name is taken from the current folder, as every command takes it; on Windows it
// is in the user's profile folder, because a Start menu shortcut starts the program in its
// installation folder, which users may not write and every user may read.
QString resolve(const QString& name);

// Opens the file for appending, creating it for this user alone (mode 0600 on Linux). Never
// follows a link at the name itself and never blocks on a pipe nobody reads; an existing plain
// file is used only when it is this user's. Nothing, and `error` says why, when it cannot be.
std::unique_ptr<QFile> openForAppend(const QString& path, QString* error);

// Opens a trace to read it back, refusing anything but a plain file: a pipe would hold the
// reader until someone writes to it, and a device such as /dev/zero never ends. Nothing, and
// `error` says why, when it cannot be.
std::unique_ptr<QFile> openForReading(const QString& path, QString* error);

}
