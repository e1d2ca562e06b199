#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The platform's own table for the double-byte half of code page 932. The decoder and encoder
// frame characters and handle the single-byte range themselves; only complete double-byte
// codes and text beyond ASCII cross this table. Linux asks ICU ("windows-31j"), Windows asks
// the system's code page 932; the build compiles exactly one of the two.
class Cp932Table {
public:
    // False when the platform has no code page 932 converter; nothing else works then.
    static bool isAvailable();

    // Text for a run of complete double-byte codes; std::nullopt when any code is unassigned.
    static std::optional<QString> decodePairs(const QByteArray& pairs);

    // Bytes for text; std::nullopt when some character has no form in the code page. The
    // caller still checks the bytes decode back to the text: a table may map a look-alike.
    static std::optional<QByteArray> encode(const QString& text);
};
