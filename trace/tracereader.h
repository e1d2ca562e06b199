#pragma once

#include "traceevent.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <optional>

// Reads a line trace back. A trace file holds one session per run of the program that appended
// to it, each opened by its session line:
//
//   reccap-trace <format> reccap <program version> <local start time, ISO 8601>
//
// and followed by its events (TraceEvent). Lines starting with "#" are remarks a maintainer
// added. Anything else is refused with the line and what is wrong with it: a trace cut off in
// the middle of a line, one of a format this reader does not know, or one whose bytes and
// text disagree is no trace to replay, and a replay of half of one would prove nothing.
class TraceReader {
public:
    static constexpr int knownFormat = 1;
    // The longest line the format allows. A read is at most the 1,024 characters of the receive
    // buffer, about 8 KiB as hex and quoted text; a message quotes at most a path or two. A
    // longer line is no trace of ours, and reading on in search of its end could take all the
    // memory there is (a file of zeros, say).
    static constexpr qsizetype maxLineBytes = 64 * 1024;

    struct Session {
        int format { 0 };
        QString programVersion;
        QString started;
        // The session line, 1-based.
        int line { 0 };
        QList<TraceEvent> events;
    };

    // std::nullopt on a malformed trace, with `error` saying where and why.
    static std::optional<QList<Session>> parse(const QByteArray& data, QString* error);
    // A trace's bytes from `device`, read line by line and refused at the first line longer
    // than the format allows, before the rest is read.
    static std::optional<QByteArray> read(QIODevice& device, QString* error);
};
