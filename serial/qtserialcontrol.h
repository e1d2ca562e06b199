#pragma once

#include "cp932decoder.h"
#include "serialcontrol.h"

#include <QSerialPort>

// The serial port control on a real device, through QSerialPort.
class QtSerialControl : public SerialControl {
    Q_OBJECT
public:
    explicit QtSerialControl(QObject* parent = nullptr);
    ~QtSerialControl() override;

    void setCommPort(int port) override;
    int commPort() const override { return m_commPort; }
    void setInputLen(int length) override { m_inputLen = length; }
    bool portOpen() const override { return m_port.isOpen(); }
    bool setPortOpen(bool open) override;
    void clearInBuffer() override;
    QString input() override;
    bool holdsPartialCharacter() const override { return m_decoder.holdsPartialCharacter(); }
    void forgetPartialCharacter() override { m_decoder.forgetPartialCharacter(); }
    std::chrono::nanoseconds silentFor() const override;
    bool output(const QString& text) override;
    void setWakeOnInput(bool wake) override;
    bool setBreak(bool on) override;
    int commEvent() const override { return m_commEvent; }
    QString errorString() const override { return m_errorString; }

private:
    void onPortError(QSerialPort::SerialPortError error);
    void lose(const QString& what, const QString& reason);
    void applyWakeOnInput();
    QByteArray readLine(qint64 limit);
    bool sendUnsent();
    bool fail(const QString& what, const QString& reason);
    QString openFailure(const QString& lock) const;
    bool deviceGone() const;
    QString portLabel() const;
    void closePort(bool flush);

    QSerialPort m_port;
    std::chrono::steady_clock::time_point m_lastData {};
    // What the driver refused for now (its queue full, or output stopped); sent before
    // anything newer, and counted in the transmit buffer with what the driver holds.
    QByteArray m_unsent;
    // At least what the driver holds: its count as last asked, plus what it took since.
    // Asking costs a system call, so it is asked only when this bound nears the limit.
    qint64 m_driverQueueBound { 0 };
    bool m_wakeOnInput { true };
    Cp932Decoder m_decoder;
    int m_commPort { 1 };
    int m_inputLen { 0 };
    int m_commEvent { 0 };
    bool m_breakOn { false };
    bool m_failing { false };
    QString m_device;
    // The device last opened: a later open that finds it missing means it went away.
    QString m_openedDevice;
    QString m_errorString;
};
