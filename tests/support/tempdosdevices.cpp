#include "tempdosdevices.h"

#include <QDir>
#include <QFile>

TempDosDevices::TempDosDevices()
{
    if (!m_config.isValid() || !m_drive.isValid())
        return;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    m_valid
        = QDir().mkpath(folder()) && QFile::link(m_drive.path(), folder() + QStringLiteral("/c:"));
}

QString TempDosDevices::folder() const
{
    return m_config.filePath(QStringLiteral("reccap/dosdevices"));
}

QString TempDosDevices::resultFile() const { return driveFile(QStringLiteral("Result.txt")); }
