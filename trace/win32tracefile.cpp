#include "tracefile.h"

#include <QDir>

#include <qt_windows.h>

namespace TraceFile {

namespace {

    std::wstring native(const QString& path)
    {
        return QDir::toNativeSeparators(path).toStdWString();
    }

    // A trace goes to a file that keeps it; a device (NUL, a port) or a pipe at the name would
    // swallow it or hand it to whoever reads there. Nothing at the name is fine: it is created.
    bool isAFileOrNothing(const QString& path, QString* error)
    {
        const std::wstring name = native(path);
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *error = QStringLiteral("it is a folder, not a plain file; name a file for the trace");
            return false;
        }
        HANDLE handle = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
            nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return true;
        const DWORD type = GetFileType(handle);
        CloseHandle(handle);
        if (type == FILE_TYPE_DISK)
            return true;
        *error = QStringLiteral("it is %1, not a plain file; name a file for the trace")
                     .arg(type == FILE_TYPE_PIPE ? QStringLiteral("a pipe")
                                                 : QStringLiteral("a device"));
        return false;
    }

}

QString resolve(const QString& name)
{
    if (QDir::isAbsolutePath(name))
        return name;
    return QDir(QDir::homePath()).filePath(name);
}

std::unique_ptr<QFile> openForAppend(const QString& path, QString* error)
{
    if (!isAFileOrNothing(path, error))
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    // The profile folder is the user's own; the owner-only permissions keep a trace made
    // elsewhere (a shared folder named in full) from being readable by everyone there.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file->errorString();
        return nullptr;
    }
    // Another name may be another file of this user's linked here: the records would land in
    // it. The file is held open without delete sharing, so the name cannot change meanwhile.
    HANDLE handle = CreateFileW(native(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info {};
    const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (known && info.nNumberOfLinks > 1) {
        *error = QStringLiteral("it has %1 names (hard links); a trace goes to a file of its own")
                     .arg(info.nNumberOfLinks);
        return nullptr;
    }
    return file;
}

std::unique_ptr<QFile> openForReading(const QString& path, QString* error)
{
    if (!isAFileOrNothing(path, error))
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        *error = file->errorString();
        return nullptr;
    }
    return file;
}

}
