#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal for tests: the test plays the instrument on the master side while the
// program opens the slave as its serial port. The pair keeps a slave descriptor of its own,
// so the program closing and reopening the port does not hang up the master.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }

    bool write(const QByteArray& bytes);
    // What the program has sent so far, without waiting.
    QByteArray readAvailable();
    // The device going away, as when a USB adapter is unplugged.
    void closeMaster();

    // Points dosdevices/com<port> in `folder` at the slave.
    bool linkAsPort(const QString& folder, int port) const;

private:
    int m_master { -1 };
    int m_slave { -1 };
    QString m_slavePath;
};
