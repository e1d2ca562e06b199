#include "resultline.h"

#include "cp932encoder.h"

#include <utility>

namespace ResultLine {

namespace {

    using Fault = Refusal::Fault;

    Fault plainTextFault(const QString& item)
    {
        for (const QChar c : item) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return Fault::ControlCharacter;
            if (c == QLatin1Char('"'))
                return Fault::DoubleQuote;
        }
        return Fault::None;
    }

}

bool holdsOnlyPlainText(const QString& item) { return plainTextFault(item) == Fault::None; }

std::optional<QByteArray> build(const PersonFields& fields, Refusal* why)
{
    using Field = CaptureView::Field;
    const auto refuse = [why](const Refusal& refusal) {
        if (why)
            *why = refusal;
        return std::nullopt;
    };
    const std::pair<const QString*, Field> items[]
        = { { &fields.idItem, Field::Text3 }, { &fields.birthDate, Field::Text4 },
              { &fields.kanjiName, Field::Text7 }, { &fields.gender, Field::Text5 } };
    for (const auto& [item, field] : items) {
        Fault fault = plainTextFault(*item);
        // The date and the gender are cut at their length; an ESC inside is the field's own end,
        // come early: the field is short, which is what the operator should hear.
        const bool fixedLength = field == Field::Text4 || field == Field::Text5;
        if (fixedLength && item->contains(QChar(0x1b)))
            fault = Fault::WrongLength;
        if (fault != Fault::None)
            return refuse({ RecordRefusal::MalformedField, field, fault });
    }
    // The item to blame for a character the line cannot carry; the quotes, commas and line end
    // around the items always can be carried.
    const auto unencodable = [&]() -> Refusal {
        for (const auto& [item, field] : items) {
            if (item->contains(QChar::ReplacementCharacter) || !Cp932Encoder::encode(*item))
                return { RecordRefusal::Unencodable, field, Fault::Unencodable };
        }
        return RecordRefusal::Unencodable;
    };
    // The reader splits on the quotes as they stand, so the values go in unescaped and untrimmed.
    const QString line = QLatin1Char('"') + fields.idItem + QStringLiteral("\",\"")
        + fields.birthDate + QStringLiteral("\",\"") + fields.kanjiName + QStringLiteral("\",\"")
        + fields.gender + QStringLiteral("\"\r\n");
    // U+FFFD means the line decoder already lost a character; writing any stand-in for it would
    // put a wrong name on a person's record.
    if (line.contains(QChar::ReplacementCharacter))
        return refuse(unencodable());
    std::optional<QByteArray> bytes = Cp932Encoder::encode(line);
    if (!bytes)
        return refuse(unencodable());
    return bytes;
}

}
