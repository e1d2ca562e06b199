#pragma once

#include "portlink.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QString>

// The instrument's end of the line for the benchmark: the master of a pseudo-terminal whose
// slave the program opens as COM3. The master runs in packet mode, so that every discard of
// input the program makes on its end is reported here; that is how the benchmark knows the
// program has reopened its port and a header will not be thrown away. A slave descriptor is
// kept open here, so the program closing its port never hangs up the line.
class PacketLine {
public:
    PacketLine();

    bool isValid() const { return m_valid; }
    QString errorString() const { return m_error; }
    int descriptor() const { return m_line.masterDescriptor(); }

    // Points dosdevices/com<port> in `folder` at the slave.
    bool linkAsPort(const QString& folder, int port);

    bool write(const QByteArray& bytes);
    // Takes in everything the program has sent or reported so far, without waiting.
    void drain();

    qint64 acks() const { return m_acks; }
    qint64 discards() const { return m_discards; }
    qint64 otherBytes() const { return m_otherBytes; }

private:
    PseudoTerminal m_line;
    PortLink m_link;
    bool m_valid { false };
    QString m_error;
    qint64 m_acks { 0 };
    qint64 m_discards { 0 };
    qint64 m_otherBytes { 0 };
};
