#include "tracefile.h"

#include <QDir>

namespace TraceFile {

QString resolve(const QString& name)
{
    if (QDir::isAbsolutePath(name))
        return name;
    return QDir(QDir::homePath()).filePath(name);
}

std::unique_ptr<QFile> openForAppend(const QString& path, QString* error)
{
    auto file = std::make_unique<QFile>(path);
    // The profile folder is the user's own; the owner-only permissions keep a trace made
    // elsewhere (a shared folder named in full) from being readable by everyone there.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file->errorString();
        return nullptr;
    }
    return file;
}

}
