#include "portlink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

bool PortLink::create(const QString& folder, int port, const QString& target)
{
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    const QString path = QDir(folder).filePath(QStringLiteral("com%1").arg(port));
    // Build the new link beside the old one and rename it over, so a receiver that opens the
    // port right now finds either link but never none.
    const QString staging = path + QStringLiteral(".%1.new").arg(::getpid());
    QFile::remove(staging);
    const QByteArray stagingName = QFile::encodeName(staging);
    if (::symlink(QFile::encodeName(target).constData(), stagingName.constData()) != 0
        || std::rename(stagingName.constData(), QFile::encodeName(path).constData()) != 0) {
        m_error = QStringLiteral("cannot link %1 to %2: %3")
                      .arg(path, target, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(staging);
        return false;
    }
    m_path = path;
    m_target = target;
    return true;
}

void PortLink::remove()
{
    if (m_path.isEmpty())
        return;
    if (QFileInfo(m_path).symLinkTarget() == m_target)
        QFile::remove(m_path);
    m_path.clear();
}
