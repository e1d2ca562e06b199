#pragma once

#include "cp932decoder.h"
#include "serialcontrol.h"

#include <QTimer>
#include <chrono>

// The serial port control on a real Windows port, through the Win32 communications API.
//
// The port is opened for ordinary (synchronous) I/O with read timeouts that make every read
// return at once, and a read is only issued for what the driver says it holds. Nothing waits
// on the line inside the driver: Wine 8, where the suite runs, aborts an overlapped
// WaitCommEvent on a pseudo-terminal at once and turns an overlapped read that finds nothing
// into a broken pipe. Instead a coarse receive watch wakes the event loop while the port is
// open, so a caller resting until the next event (the header wait) looks at the line every
// 50 ms. Under Wine each wake-up costs about 0.4 ms of processor time: every 10 ms that was
// 4.3 % of a core in the header wait, every 50 ms it stays under 1 %. A header is answered up
// to 50 ms late; the body behind it waits in the driver's buffer meanwhile.
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

    // How often the receive watch wakes a waiting event loop.
    static constexpr std::chrono::milliseconds receiveWatchInterval { 50 };

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
    bool holdsPartialCharacter() const override { return m_decoder.holdsPartialCharacter(); }
    void forgetPartialCharacter() override { m_decoder.forgetPartialCharacter(); }
    std::chrono::nanoseconds silentFor() const override;

private:
    struct LineStatus {
        bool ok { false };
        unsigned long queuedIn { 0 };
        unsigned long queuedOut { 0 };
    };

    bool fail(const QString& what, const QString& reason);
    bool failWithSystemError(const QString& what, unsigned long error);
    void lose(const QString& what, unsigned long error);
    QString portLabel() const;
    bool configure();
    void closePort(bool flush);
    LineStatus takeLineStatus();

    Qt::HANDLE m_handle { nullptr };
    QTimer m_receiveWatch;
    Cp932Decoder m_decoder;
    std::chrono::steady_clock::time_point m_lastInput {};
    int m_commPort { 1 };
    int m_inputLen { 0 };
    int m_commEvent { 0 };
    bool m_breakOn { false };
    QString m_device;
    QString m_errorString;
};
