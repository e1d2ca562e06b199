#pragma once

#include "cp932decoder.h"
#include "serialcontrol.h"

#include <chrono>
#include <memory>

class QTimer;
class QWinEventNotifier;
struct Win32Request;

// The serial port control on a real Windows port, through the Win32 communications API.
//
// Polls never wait: a read is only issued for what the driver says it holds. Between polls,
// from the moment the port opens, one overlapped read of a single byte stands on the line
// (the receive watch); the arrival of any byte completes it and its event wakes the event
// loop, so a caller resting until the next event (the header wait) sleeps without a
// character-time timer, and a poll of a quiet line costs no system call. The watch's byte is
// the first of what the next poll returns. No read timeouts are set, so the watch waits as
// long as the line is quiet; that is also the one configuration in which Wine 8, where the
// suite runs, completes an overlapped read on a pseudo-terminal as Windows does (it aborts an
// overlapped WaitCommEvent there at once).
//
// Not every driver ends the watch when its USB adapter is pulled: some leave the read
// standing and only fail the requests that follow. So while the port is open, a quiet line is
// asked for its status once a second, and the loss is reported within about a second either
// way; one wake-up a second is all the header wait pays for it. Nothing waits without a
// limit: a request called off is waited for within Win32Requests' bound, and one the driver
// keeps is abandoned to it and the port reported lost.
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
    void setWakeOnInput(bool wake) override { m_wakeOnInput = wake; }
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
    // Reads what the driver says it holds, so the read finishes at once.
    bool readQueued(char* data, unsigned long size, unsigned long* done);
    bool collectWrite();
    bool startWrite();
    // A write's failure: "Lost" when the device is gone, as for a read; else "Cannot write".
    bool writeFailed(unsigned long error);
    void settleWrites(bool flush);
    bool issueReceiveWatch();
    void armReceiveWatch();
    bool takeReceiveWatch(QByteArray& arrived);
    // False when the driver kept the cancelled read (Win32Requests).
    bool cancelReceiveWatch();
    void checkQuietLine();

    Qt::HANDLE m_handle { nullptr };
    std::unique_ptr<Win32Request> m_watch;
    std::unique_ptr<Win32Request> m_read;
    // ACKs leave without the caller waiting for them: one write in flight (its bytes in the
    // request), the bytes behind it waiting for it to finish.
    std::unique_ptr<Win32Request> m_write;
    QByteArray m_waiting;
    bool m_writeInFlight { false };
    QWinEventNotifier* m_watchNotifier { nullptr };
    QTimer* m_lineCheck { nullptr };
    bool m_watchArmed { false };
    Cp932Decoder m_decoder;
    std::chrono::steady_clock::time_point m_lastInput {};
    int m_commPort { 1 };
    int m_inputLen { 0 };
    int m_commEvent { 0 };
    bool m_breakOn { false };
    bool m_closing { false };
    // Without it, the one-byte read is not issued again once it has completed: polls at the
    // line's pace find the bytes in the driver's queue, and only their timer wakes them.
    bool m_wakeOnInput { true };
    // At least what the driver's transmit queue holds (a write in flight included): its count
    // as last asked, plus what was written since. Asking is a round trip to the driver, so it
    // is asked only near the limit.
    unsigned long m_driverQueueBound { 0 };
    QString m_device;
    QString m_errorString;
};
