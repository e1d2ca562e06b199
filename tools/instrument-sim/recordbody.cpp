#include "recordbody.h"

#include "cp932encoder.h"

namespace {

constexpr QChar esc(0x1B);
constexpr QChar comma(u',');
constexpr QChar space(u' ');
// Filler fields are long enough to look like data but never matter to the receiver.
constexpr int fillerFieldLength = 8;

QString repeated(const QString& pattern, int length)
{
    QString text;
    text.reserve(length);
    while (text.size() < length)
        text += pattern.left(length - text.size());
    return text;
}

QString fieldTag(int field) { return QStringLiteral("%1").arg(field, 3, 10, QLatin1Char('0')); }

QString openField(int field) { return QString(comma) + esc + fieldTag(field); }

// The receiver cuts a field at the next ESC, and an ESC right after a comma is a field marker,
// so either would move every field behind it.
QString valueProblem(const QString& name, const QString& value, bool closedByEsc = true)
{
    if (value.contains(esc))
        return QStringLiteral("%1 contains ESC, which would end the field early").arg(name);
    if (closedByEsc && value.endsWith(comma))
        return QStringLiteral("%1 ends with a comma, which would turn its closing ESC into a "
                              "field marker")
            .arg(name);
    if (!Cp932Encoder::encode(value))
        return QStringLiteral("%1 has a character that code page 932 cannot carry").arg(name);
    return {};
}

// The receiver keeps the kana up to its second space: pad the name so that space follows it.
std::optional<QString> kanaValue(const QString& kana)
{
    const qsizetype spaces = kana.count(space);
    if (spaces > 1)
        return std::nullopt;
    return kana + QString(2 - spaces, space);
}

}

RecordBody RecordBody::build(const RecordFields& fields)
{
    RecordBody body;
    auto refuse = [&body](const QString& error) {
        body.m_error = error;
        return body;
    };

    if (fields.filler.isEmpty())
        return refuse(QStringLiteral("filler is empty"));
    if (fields.filler.contains(comma) || fields.filler.contains(esc))
        return refuse(QStringLiteral("filler contains a comma or ESC, which could form a field "
                                     "marker"));
    if (fields.id.size() > idLength)
        return refuse(
            QStringLiteral("ID \"%1\" is longer than %2 characters").arg(fields.id).arg(idLength));
    if (fields.dateOfBirth.size() != 9)
        return refuse(
            QStringLiteral("date of birth \"%1\" is not 9 characters").arg(fields.dateOfBirth));
    if (fields.gender.size() != 1)
        return refuse(QStringLiteral("gender \"%1\" is not 1 character").arg(fields.gender));
    const std::optional<QString> kana = kanaValue(fields.kanaName);
    if (!kana)
        return refuse(QStringLiteral("kana name \"%1\" has more than one space; the receiver ends "
                                     "it at the second")
                          .arg(fields.kanaName));

    // The ID is followed by the first field marker's comma, not by an ESC.
    const QString problems[] = { valueProblem(QStringLiteral("filler"), fields.filler),
        valueProblem(QStringLiteral("ID"), fields.id, false),
        valueProblem(QStringLiteral("kanji name"), fields.kanjiName),
        valueProblem(QStringLiteral("kana name"), *kana),
        valueProblem(QStringLiteral("date of birth"), fields.dateOfBirth),
        valueProblem(QStringLiteral("gender"), fields.gender) };
    for (const QString& problem : problems) {
        if (!problem.isEmpty())
            return refuse(problem);
    }

    QString text = fields.firstCharacter;
    text += repeated(fields.filler, idPosition - 1 - text.size());
    text += fields.id.rightJustified(idLength, space);

    const QString fieldValues[fieldCount - 1]
        = { repeated(fields.filler, fillerFieldLength), fields.kanjiName, *kana, fields.dateOfBirth,
              fields.gender, repeated(fields.filler, fillerFieldLength) };
    for (int field = 1; field < fieldCount; ++field)
        text += openField(field) + fieldValues[field - 1] + esc;

    const qsizetype lastOpening = openField(fieldCount).size();
    const qsizetype lastValue = std::max<qsizetype>(
        fillerFieldLength, fields.minimumLength - text.size() - lastOpening - 1);
    text += openField(fieldCount) + repeated(fields.filler, lastValue) + esc;

    const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
    if (!bytes)
        return refuse(QStringLiteral("first character cannot be carried in code page 932"));
    body.m_text = text;
    body.m_bytes = *bytes;
    return body;
}
