#include "resultline.h"

#include "cp932encoder.h"

namespace ResultLine {

std::optional<QByteArray> build(const PersonFields& fields)
{
    // The reader splits on the quotes as they stand, so the values go in unescaped and untrimmed.
    const QString line = QLatin1Char('"') + fields.idItem + QStringLiteral("\",\"")
        + fields.birthDate + QStringLiteral("\",\"") + fields.kanjiName + QStringLiteral("\",\"")
        + fields.gender + QStringLiteral("\"\r\n");
    // U+FFFD means the line decoder already lost a character; writing any stand-in for it would
    // put a wrong name on a person's record.
    if (line.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    return Cp932Encoder::encode(line);
}

}
