#pragma once

#include <QByteArray>
#include <QString>

// Notices the result file being replaced, through inotify on its folder: the program renames
// a finished file over the old one, so a watch on the file itself would stay on the old inode.
class ResultWatch {
public:
    explicit ResultWatch(const QString& filePath);
    ~ResultWatch();
    ResultWatch(const ResultWatch&) = delete;
    ResultWatch& operator=(const ResultWatch&) = delete;

    bool isValid() const { return m_watch >= 0; }
    int descriptor() const { return m_inotify; }

    // Consumes what inotify has reported; true when something concerned the file.
    bool drain();
    QByteArray contents() const;

private:
    QString m_path;
    QByteArray m_name;
    int m_inotify { -1 };
    int m_watch { -1 };
};
