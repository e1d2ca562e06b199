#pragma once

#include <QList>
#include <QString>
#include <optional>

// The spacing of the ACKs that answer a body's polls, read from a line trace (--trace): the
// wire shows when each ACK left only to the benchmark's drain, which wakes far less often
// than the program polls, but the trace notes each ACK as it is written.
//
// A body's ACKs are the "tx 06" lines after the one that answers the header (the first ACK
// after the read of "R001") up to the discard that ends the body, or a close of the port.
class TraceAckGaps {
public:
    // The gaps between consecutive body ACKs of every body in the trace, in milliseconds.
    static std::optional<QList<double>> read(const QString& path, QString* error);
};
