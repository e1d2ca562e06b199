#pragma once

#include "cp932decoder.h"
#include "serialcontrol.h"

#include <chrono>
#include <list>
#include <memory>

class QWinEventNotifier;

// The serial port control on a real Windows port, through the Win32 communications API.
// The port is opened for overlapped I/O so that a wait for incoming characters can stand
// while reads and writes go on: the event loop sleeps on that wait during the header wait,
// and reads return at once with whatever the driver holds.
class Win32SerialControl : public SerialControl {
    Q_OBJECT
public:
    // OnComm codes for the line errors ClearCommError reports; the loop does not act on them,
    // the bad bytes already fail the record's checks.
    static constexpr int eventBreak = 1001;
    static constexpr int eventFrame = 1004;
    static constexpr int eventOverrun = 1006;
    static constexpr int eventRxOver = 1008;
    static constexpr int eventRxParity = 1009;

    explicit Win32SerialControl(QObject* parent = nullptr);
    ~Win32SerialControl() override;

    void setCommPort(int port) override;
    int commPort() const override { return m_commPort; }
    void setInputLen(int length) override { m_inputLen = length; }
    bool portOpen() const override { return m_handle != nullptr; }
    bool setPortOpen(bool open) override;
    void clearInBuffer() override;
    QString input() override;
    bool output(const QString& text) override;
    bool setBreak(bool on) override;
    int commEvent() const override { return m_commEvent; }
    QString errorString() const override { return m_errorString; }

    bool holdsPartialCharacter() const { return m_decoder.holdsPartialCharacter(); }
    std::chrono::nanoseconds silentFor() const;

private:
    struct Overlapped;

    bool fail(const QString& what, const QString& reason);
    bool failWithSystemError(const QString& what, unsigned long error);
    void lose(const QString& what, unsigned long error);
    QString portLabel() const;
    bool configure();
    void closePort(bool flush);
    void armCharacterWait();
    void onCharacterWaitDone();
    bool reapWrites();
    void takeLineErrors(unsigned long* queuedOut);

    Qt::HANDLE m_handle { nullptr };
    std::unique_ptr<Overlapped> m_characterWait;
    std::unique_ptr<Overlapped> m_read;
    QWinEventNotifier* m_characterNotifier { nullptr };
    bool m_characterWaitPending { false };
    std::list<std::unique_ptr<Overlapped>> m_writes;
    Cp932Decoder m_decoder;
    std::chrono::steady_clock::time_point m_lastInput {};
    int m_commPort { 1 };
    int m_inputLen { 0 };
    int m_commEvent { 0 };
    bool m_breakOn { false };
    QString m_device;
    QString m_errorString;
};
