#pragma once

#include <QTemporaryDir>

// A dosdevices folder of the test's own: XDG_CONFIG_HOME points at a temporary folder whose
// reccap/dosdevices/c: links to a temporary drive, so "C:\Result.txt" lands there and a com
// link can be laid beside it, without touching the user's configuration. On Windows there is
// nothing to map: the result file is C:\Result.txt itself (in the tests' own Wine prefix).
class TempDosDevices {
public:
    TempDosDevices();

    bool isValid() const { return m_valid; }
    QString configHome() const { return m_config.path(); }
    QString folder() const;
    QString drive() const { return m_drive.path(); }
    QString driveFile(const QString& name) const { return m_drive.filePath(name); }
    QString resultFile() const;

private:
    QTemporaryDir m_config;
    QTemporaryDir m_drive;
    bool m_valid { false };
};
