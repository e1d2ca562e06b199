#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <chrono>

// What became of each record, noted beside the bytes that made it, so that a log of the line
// shows why the program acted as it did. The capture loop is the only one that knows; it names
// its own rules, and nothing here knows them.
class RecordJournal {
public:
    virtual ~RecordJournal() = default;

    // The line went into the result file, exactly these bytes.
    virtual void recordWritten(const QByteArray& resultLine) = 0;
    // The record was dropped by the rule of that name, for the reason the operator was given.
    virtual void recordRejected(QLatin1String rule, const QString& reason = {}) = 0;
    // A lone "K" was the instrument's abort: the line stayed this silent after it, through this
    // many answered polls.
    virtual void recordAborted(std::chrono::nanoseconds silence, int answers) = 0;
    // The program ends on this failure.
    virtual void fatalError(const QString& message) = 0;
};
