#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <optional>

// One line of a line trace after its session line, as the trace reader hands it out; the
// kinds' names are the words the trace writer puts on the lines, so both read them from here.
//
// Format 1, one event a line, fields separated by one space:
//
//   <microseconds since the port was first opened> <kind> [arguments]
//
// Bytes are lower-case hex without spaces ("-" for none); text is in double quotes, with \",
// \\ and \xHH for the control characters, UTF-8 otherwise.
struct TraceEvent {
    enum class Kind {
        Open, // open
        OpenFailed, // open-failed "why"
        Close, // close
        Clear, // clear: the receive buffer was discarded
        Forget, // forget: a held first byte of a double-byte character was dropped
        // rx <hex> "text" [held]: a read. The hex is the code page 932 form of the characters
        // the read completed (a character the line delivered as no code page 932 shows as
        // U+FFFD and ff); "held" means the read ended on the first byte of a double-byte
        // character, which the next read's first character completes.
        Received,
        Sent, // tx <hex>
        SendFailed, // tx-failed <hex> "why"
        BreakOn, // break on
        BreakOff, // break off
        Comm, // comm <OnComm code>
        Written, // written <hex> "text": the result line
        Rejected, // rejected <rule> ["reason"]
        Aborted, // abort <silence in microseconds> <answered polls>
        Fatal, // fatal "why"
        End, // end: the program closed its trace
    };

    static QLatin1String name(Kind kind);
    static std::optional<Kind> kindNamed(const QByteArray& name);

    qint64 micros { 0 };
    Kind kind { Kind::Open };
    // rx, tx, tx-failed and written.
    QByteArray bytes;
    // rx and written: the text; open-failed, tx-failed and fatal: the message; rejected: the
    // rule.
    QString text;
    // rejected: the reason the operator was given, where the trace has one.
    QString reason;
    bool held { false };
    // comm: the code; abort: the silence in microseconds.
    qint64 number { 0 };
    // abort: the answered polls.
    int answers { 0 };
    // Where the event stands in the file, 1-based, for messages.
    int line { 0 };
};
