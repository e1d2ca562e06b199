#include "resultline.h"

#include "cp932encoder.h"

namespace ResultLine {

bool holdsOnlyPlainText(const QString& item)
{
    for (const QChar c : item) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('"'))
            return false;
    }
    return true;
}

std::optional<QByteArray> build(const PersonFields& fields, RecordRefusal* why)
{
    const auto refuse = [why](RecordRefusal refusal) {
        if (why)
            *why = refusal;
        return std::nullopt;
    };
    for (const QString* item :
        { &fields.idItem, &fields.birthDate, &fields.kanjiName, &fields.gender }) {
        if (!holdsOnlyPlainText(*item))
            return refuse(RecordRefusal::MalformedField);
    }
    // The reader splits on the quotes as they stand, so the values go in unescaped and untrimmed.
    const QString line = QLatin1Char('"') + fields.idItem + QStringLiteral("\",\"")
        + fields.birthDate + QStringLiteral("\",\"") + fields.kanjiName + QStringLiteral("\",\"")
        + fields.gender + QStringLiteral("\"\r\n");
    // U+FFFD means the line decoder already lost a character; writing any stand-in for it would
    // put a wrong name on a person's record.
    if (line.contains(QChar::ReplacementCharacter))
        return refuse(RecordRefusal::Unencodable);
    std::optional<QByteArray> bytes = Cp932Encoder::encode(line);
    if (!bytes)
        return refuse(RecordRefusal::Unencodable);
    return bytes;
}

}
