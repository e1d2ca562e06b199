#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (kill, Ctrl-C, the end of the session) must end the program the
// way closing its window does: the break released, the port closed and its lock file removed,
// or the next user cannot open the port. A signal handler may do next to nothing safely, so it
// only writes the signal's number into a pipe; the event loop, which also turns inside every
// yield of the capture loop and of the break, reads it and emits received().
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    // The signals take their default action again.
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier* m_notifier { nullptr };
};
