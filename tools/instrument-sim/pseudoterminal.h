#pragma once

#include <QString>

// The instrument's end of the line: the master of a pseudo-terminal whose slave the receiver
// opens as its serial port.
//
// We keep a slave descriptor of our own open for our whole life. Without it, every time the
// receiver closes its port between records the master would read EIO and report a hang-up,
// and what we send during that window would have nowhere to wait for the receiver's discard.
// The master runs in packet mode, so that the receiver's input discards (tcflush) show up on
// our side as status bytes: they tell when the receiver has opened its port.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool open();
    QString errorString() const { return m_error; }

    int masterDescriptor() const { return m_master; }
    // The device going away, as when a USB adapter is unplugged: the slave is hung up.
    void closeMaster();
    // A line that takes nothing more from the receiver for now (its output stopped, as flow
    // control stops it), or takes it again.
    bool stopReceiverOutput(bool stopped);
    QString slavePath() const { return m_slavePath; }

private:
    bool fail(const QString& what);

    int m_master { -1 };
    int m_slave { -1 };
    QString m_slavePath;
    QString m_error;
};
