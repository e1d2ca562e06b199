#pragma once

#include <QChar>
#include <QString>

// What the instrument puts into one record body. The defaults make a plausible person, so a
// caller only names the fields that matter to its case.
struct RecordFields {
    // Right-aligned with spaces into the five fixed ID characters; at most five characters.
    QString id { QStringLiteral("12345") };
    QString kanjiName { QStringLiteral("山田太郎") };
    // Family name, one space, given name. The receiver ends the kana at its second space, so
    // more than one space cannot travel; a name without a space comes back with a trailing
    // space.
    QString kanaName { QStringLiteral("ﾔﾏﾀﾞ ﾀﾛｳ") };
    // The era date as sent: exactly nine characters such as "S45.03.12".
    QString dateOfBirth { QStringLiteral("S45.03.12") };
    // Exactly one character.
    QString gender { QStringLiteral("1") };
    // Repeated wherever the layout wants content that nobody reads: the characters before the
    // ID, the unused fields and the padding. No comma, no ESC.
    QString filler { QStringLiteral("0") };
    // ACK on a good record; anything else makes the receiver reject the body.
    QChar firstCharacter { QChar(0x06) };
    // The body is padded to this many characters; 178 is the least the receiver accepts.
    int minimumLength { 178 };
};
