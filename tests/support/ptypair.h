#pragma once

#include "portlink.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QString>

// A pseudo-terminal for tests: the test plays the instrument on the master side while the
// program opens the slave as its serial port. The line keeps a slave descriptor of its own,
// so the program closing and reopening the port does not hang up the master.
class PtyPair {
public:
    PtyPair() { m_valid = m_line.open(); }

    bool isValid() const { return m_valid; }
    QString slavePath() const { return m_line.slavePath(); }

    bool write(const QByteArray& bytes);
    // What the program has sent so far, without waiting.
    QByteArray readAvailable();
    void closeMaster() { m_line.closeMaster(); }
    bool stopReceiverOutput(bool stopped) { return m_line.stopReceiverOutput(stopped); }

    // Points dosdevices/com<port> in `folder` at the slave, until the pair goes away.
    bool linkAsPort(const QString& folder, int port)
    {
        return m_link.create(folder, port, slavePath());
    }

private:
    PseudoTerminal m_line;
    PortLink m_link;
    bool m_valid { false };
};
