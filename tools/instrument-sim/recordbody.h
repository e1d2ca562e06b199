#pragma once

#include "recordfields.h"

#include <QByteArray>
#include <QString>

// Record bodies as the instrument sends them after its header has been acknowledged: the
// first character, filler up to the ID at the fixed positions 24 to 28, then seven fields,
// each opened by a field marker (comma, ESC), three tag characters and the value, and closed
// by an ESC. Field 2 is the kanji name, 3 the kana name, 4 the date of birth, 5 the gender;
// 1, 6 and 7 carry filler, and field 7 stretches so that the body is exactly the minimum
// length, longer only when the fields themselves need more. Lengths count characters: a
// double-byte character on the line is one.
//
// A body is built or refused whole; the refusal says which field cannot travel, because a
// stray ESC or comma would shift every field after it and the receiver would cut garbage.
class RecordBody {
public:
    static constexpr int receiverMinimumLength = 178;
    static constexpr int idPosition = 24;
    static constexpr int idLength = 5;
    static constexpr int fieldCount = 7;

    static RecordBody build(const RecordFields& fields);

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    QString text() const { return m_text; }
    // The text in code page 932, as it goes on the line.
    QByteArray bytes() const { return m_bytes; }

private:
    QString m_text;
    QByteArray m_bytes;
    QString m_error;
};
