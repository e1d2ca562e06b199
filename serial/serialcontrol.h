#pragma once

#include <QObject>
#include <QString>
#include <chrono>

class RecordJournal;

// The serial port as the capture loop and the window see it: a control with the properties
// CommPort, InputLen, PortOpen, InBufferCount, Input, Output, Break and CommEvent, and an
// OnComm event. Everything runs on the UI thread and nothing blocks: callers poll.
//
// Failures come back as values (false, with errorString()) for the operation that failed.
// A failure that happens while nobody is calling (the device unplugged during a wait) closes
// the port and is announced once through failed(); the next poll then finds the port closed.
//
// Port settings are fixed: 9600 baud, 8 data bits, no parity, 1 stop bit, no handshaking,
// a 1024-character receive buffer and a 512-character transmit buffer. Text crosses the
// control in code page 932.
class SerialControl : public QObject {
    Q_OBJECT
public:
    // OnComm codes this control raises (the others belong to hardware we do not watch).
    static constexpr int eventTransmitBufferFull = 1010;
    static constexpr int receiveBufferSize = 1024;
    static constexpr int transmitBufferSize = 512;
    // Ten bits (start, 8 data, stop) at 9600 baud: the line carries one character per 1.04 ms.
    static constexpr std::chrono::nanoseconds characterTime { 10'000'000'000 / 9600 };

    using QObject::QObject;

    virtual void setCommPort(int port) = 0;
    virtual int commPort() const = 0;

    // 0: every read of input() takes all that has been received.
    virtual void setInputLen(int length) = 0;

    virtual bool portOpen() const = 0;
    // Opening an open port and closing a closed one do nothing and succeed. Closing sends what
    // output() has queued first, so the instrument gets the last ACK before the line drops.
    virtual bool setPortOpen(bool open) = 0;

    // InBufferCount := 0: drop what has been received and not yet read, a half-received
    // character included.
    virtual void clearInBuffer() = 0;

    virtual QString input() = 0;

    // Whether the last input() ended on the first byte of a double-byte character, held back
    // until its second byte arrives. A read that looks like a lone character may then be only
    // the start of a longer piece.
    virtual bool holdsPartialCharacter() const = 0;
    // Drops such a held byte without touching what is waiting to be read: after a long silence
    // it is noise, and paired with the next byte it would turn that byte into a wrong character.
    virtual void forgetPartialCharacter() = 0;
    // How long the line has delivered nothing: since the latest input() that took at least one
    // byte, or since the port was opened. Some of the instrument's signals are told apart from
    // data only by the silence around them.
    virtual std::chrono::nanoseconds silentFor() const = 0;

    // Queues text for sending and returns at once. With the transmit buffer full the text is
    // not queued and OnComm reports eventTransmitBufferFull; that is not a failure.
    virtual bool output(const QString& text) = 0;

    // Whether data arriving on the line wakes the event loop from a rest. A wait for a header
    // sleeps until the line speaks; polls at the line's own pace need no wake-up but their
    // timer's, and a wake-up for each arriving byte would cost as much again as the poll. A
    // port opens waking; input() reads the line either way.
    virtual void setWakeOnInput(bool wake) = 0;

    // Holds or releases the break condition. Does nothing on a closed port.
    virtual bool setBreak(bool on) = 0;

    virtual int commEvent() const = 0;

    virtual QString errorString() const = 0;

    // Where the capture loop notes what became of each record, when this line is traced
    // (TracingSerialControl); the trace then shows the outcomes beside the bytes that led to
    // them. A port that is not traced keeps no journal.
    virtual RecordJournal* journal() { return nullptr; }

Q_SIGNALS:
    void onComm();
    void failed(const QString& message);
};
