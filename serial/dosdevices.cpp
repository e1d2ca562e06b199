#include "dosdevices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace DosDevices {

QString folder()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/reccap/dosdevices");
}

QString folderProblem()
{
#ifdef Q_OS_WIN
    return {};
#else
    const QByteArray path = QFile::encodeName(folder());
    struct stat info { };
    int error = 0;
    QString blocker;
    if (::stat(path.constData(), &info) != 0) {
        error = errno;
        if (error == ENOTDIR) {
            // A file where a folder of the path should be (XDG_CONFIG_HOME naming a file, say)
            // is a configuration gone wrong, not a configuration left out.
            for (QString part = QFileInfo(folder()).path(); part.size() > 1;
                 part = QFileInfo(part).path()) {
                if (QFileInfo::exists(part) && !QFileInfo(part).isDir())
                    blocker = part;
            }
        }
        if (error == ENOENT)
            error = 0;
    } else if (!S_ISDIR(info.st_mode)) {
        error = ENOTDIR;
        blocker = folder();
    } else if (::access(path.constData(), R_OK | X_OK) != 0) {
        error = errno;
    }
    if (error == 0)
        return {};
    if (!blocker.isEmpty()) {
        return QCoreApplication::translate("DosDevices",
            "Cannot read the configuration folder %1: %2 is a file, not a folder, so COM3 and "
            "drive C cannot be looked up: remove it or set XDG_CONFIG_HOME to a folder")
            .arg(folder(), blocker);
    }
    return QCoreApplication::translate("DosDevices",
        "Cannot read the configuration folder %1 (%2), so COM3 and drive C cannot be looked up: "
        "make it readable for this user")
        .arg(folder(), QString::fromLocal8Bit(std::strerror(error)));
#endif
}

namespace {

    // The target of a link in the folder, resolved against the folder when it is relative.
    // Empty when there is no such entry. A plain file or device node stands for itself.
    QString entryTarget(const QString& name)
    {
        const QString path = folder() + QLatin1Char('/') + name;
        const QFileInfo info(path);
        if (info.isSymLink())
            return QDir(folder()).absoluteFilePath(info.symLinkTarget());
        if (info.exists())
            return info.absoluteFilePath();
        return {};
    }

}

QString portDevice(int port)
{
    const QString linked = entryTarget(QStringLiteral("com%1").arg(port));
    if (!linked.isEmpty())
        return linked;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

QString localPath(const QString& dosPath)
{
    static const QRegularExpression drivePath(QStringLiteral("^([A-Za-z]):(.*)$"));
    const QRegularExpressionMatch match = drivePath.match(dosPath);
    if (!match.hasMatch())
        return dosPath;
    const QString drive = match.captured(1).toLower();
    QString root = entryTarget(drive + QLatin1Char(':'));
    if (root.isEmpty() && drive == QLatin1String("c") && !qEnvironmentVariableIsEmpty("HOME"))
        root = QDir::homePath();
    if (root.isEmpty())
        return {};
    QString rest = match.captured(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (rest.startsWith(QLatin1Char('/')))
        rest.remove(0, 1);
    return QDir(root).filePath(rest);
}

}
