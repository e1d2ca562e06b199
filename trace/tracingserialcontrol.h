#pragma once

#include "linetrace.h"
#include "serialcontrol.h"

#include <QTimer>
#include <memory>

// Any serial control, with everything the program does to the line and everything the line
// delivers noted in a LineTrace. The caller cannot tell it from the control inside, which
// needs no change to be traced. The trace is written with the port closed (before each open
// and after each close), when the control goes away, and while the port is open a second after
// an event began to wait, by a timer that a poll never touches.
class TracingSerialControl : public SerialControl {
    Q_OBJECT
public:
    // Takes ownership of both.
    TracingSerialControl(
        SerialControl* inner, std::unique_ptr<LineTrace> trace, QObject* parent = nullptr);
    ~TracingSerialControl() override;

    void setCommPort(int port) override { m_inner->setCommPort(port); }
    int commPort() const override { return m_inner->commPort(); }
    void setInputLen(int length) override { m_inner->setInputLen(length); }
    bool portOpen() const override { return m_inner->portOpen(); }
    bool setPortOpen(bool open) override;
    void clearInBuffer() override;
    QString input() override;
    bool holdsPartialCharacter() const override { return m_inner->holdsPartialCharacter(); }
    void forgetPartialCharacter() override;
    std::chrono::nanoseconds silentFor() const override { return m_inner->silentFor(); }
    bool output(const QString& text) override;
    void setWakeOnInput(bool wake) override { m_inner->setWakeOnInput(wake); }
    bool setBreak(bool on) override;
    int commEvent() const override { return m_inner->commEvent(); }
    QString errorString() const override { return m_inner->errorString(); }
    RecordJournal* journal() override { return m_trace.get(); }

private:
    void onInnerComm();
    void onInnerFailed(const QString& message);

    SerialControl* m_inner { nullptr };
    // Before the trace, which notes its end (and so starts the timer) as it goes.
    QTimer m_flushTimer;
    std::unique_ptr<LineTrace> m_trace;
    int m_events { 0 };
};
