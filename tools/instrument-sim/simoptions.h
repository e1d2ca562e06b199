#pragma once

#include "recordfields.h"

#include <QList>
#include <QString>

// Everything the command line decides. Durations are in milliseconds unless named otherwise.
struct SimOptions {
    // Empty with printSlaveOnly set: no link is made.
    QString linkFolder;
    bool printSlaveOnly { false };
    int port { 3 };

    RecordFields fields;
    // From --people: record N takes person ((N - 1) mod size) instead of the single fields.
    QList<RecordFields> people;
    int idStep { 0 };
    QString rawFile;
    bool badFirstChar { false };
    // Bytes of record 1's body that go out before the line goes dead; 0 sends it whole.
    int cutAfterBytes { 0 };
    // After the cut, record 2 starts at once, as an instrument reset mid-record does.
    bool nextAtOnce { false };

    // Bytes sent once before the first header, followed by a second's rest.
    QByteArray noise;

    QString header { QStringLiteral("R001") };
    QList<int> headerPieces;
    bool headerOverrun { false };

    // Piece sizes in order; after them the rest goes in pieces of pieceSize, or whole at 0.
    QList<int> pieces;
    int pieceSize { 0 };
    bool piecesInBytes { false };
    int pieceDelayMs { 10 };

    int count { 1 };
    int recordDelayMs { 0 };

    bool abort { false };
    int abortAfterChars { 0 };

    bool waitAck { true };
    // The body goes out the moment the header's ACK arrives, not after the first body poll.
    bool bodyAtOnce { false };
    int resendMs { 500 };
    // A timer-driven instrument: the header goes again every this many ms until answered,
    // whatever the receiver does meanwhile; 0 for the resend rule of resendMs.
    int resendEveryMs { 0 };
    // Between the header's ACK and the body's first byte.
    int bodyDelayMs { 0 };
    // Each way, as through a USB serial adapter.
    int latencyMs { 0 };
    int quietMs { 100 };
    int timeoutS { 30 };
    bool hold { false };
    bool summary { false };

    // Plays the instrument's side of this trace instead of building records.
    QString replayFile;
    // 1-based; 0 when the trace is to hold one session only.
    int replaySession { 0 };
    double replaySpeed { 1.0 };
    QString resultFile;
};
