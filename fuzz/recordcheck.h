#pragma once

#include "chunkplan.h"
#include "cp932decoder.h"
#include "fieldextractor.h"
#include "resultline.h"

#include <QDate>
#include <QRegularExpression>
#include <QString>

// A record body off the line, cut into reads, through the decoder, the field extraction (with
// its era date and number patterns) and the result line. Returns a description of the first
// property that fails, or an empty string. Shared by the fuzzer, which aborts on an answer,
// and by the regression test, which replays saved inputs through it.
namespace RecordCheck {

inline QString describe(const QString& what, const QByteArray& bytes)
{
    return what + QStringLiteral(" (input %1)").arg(QString::fromLatin1(bytes.toHex(' ')));
}

// Field markers as the extraction counts them: an ESC right after a comma, from position 3 on.
inline int markerCount(const QString& body)
{
    int count = 0;
    for (qsizetype i = 2; i < body.size(); ++i) {
        if (body.at(i) == QChar(0x1b) && body.at(i - 1) == QLatin1Char(','))
            ++count;
    }
    return count;
}

inline QString run(const uint8_t* data, size_t size)
{
    const ChunkPlan plan(data, size);
    Cp932Decoder decoder;
    QString body;
    for (const QByteArray& piece : plan.pieces())
        body += decoder.decode(piece);
    const auto fail
        = [&](const char* what) { return describe(QString::fromLatin1(what), plan.bytes()); };

    const std::optional<PersonFields> fields = FieldExtractor::extract(body);
    // A record is refused only when it lacks one of the five markers its fields need.
    if (fields.has_value() != (markerCount(body) >= 5))
        return fail("record refused or accepted against its marker count");
    if (!fields)
        return {};

    if (fields->id.size() > 5 || fields->birthDate.size() > 9 || fields->gender.size() > 1)
        return fail("a fixed-width field came out too long");
    if (fields->kanjiName.contains(QChar(0x1b)))
        return fail("the kanji name keeps an ESC");
    if (fields->kanaName.count(QLatin1Char(' ')) > 1)
        return fail("the kana name keeps its second space");

    // The ID item is the ID in at least five digits or, when it is no number, the ID as sent;
    // either way one space follows.
    static const QRegularExpression padded(QStringLiteral("^[0-9]{5,} $"));
    if (!padded.match(fields->idItem).hasMatch() && fields->idItem != fields->id + u' ')
        return fail("ID item is neither padded digits nor the ID as sent");

    // The converted date is a real Gregorian date within the eras, or the slashed era date.
    const QString converted = fields->birthDateConverted;
    static const QRegularExpression gregorian(QStringLiteral("^([0-9]{4})/[0-9]{2}/[0-9]{2} $"));
    const QRegularExpressionMatch date = gregorian.match(converted);
    if (date.hasMatch()) {
        const QDate parsed = QDate::fromString(converted.left(10), QStringLiteral("yyyy/MM/dd"));
        if (!parsed.isValid() || parsed.year() < 1868)
            return fail("converted date of birth is no date of an era");
    } else if (!converted.endsWith(u' ') || !converted.startsWith(fields->birthDate.left(1))) {
        return fail("unconverted date of birth is not the slashed era date");
    }

    const QString expected = QLatin1Char('"') + fields->idItem + QStringLiteral("\",\"")
        + fields->birthDate + QStringLiteral("\",\"") + fields->kanjiName + QStringLiteral("\",\"")
        + fields->gender + QStringLiteral("\"\r\n");
    const std::optional<QByteArray> line = ResultLine::build(*fields);
    if (!line) {
        // Everything the decoder delivers can be written back, so only a character it could not
        // read may keep a record out of the file.
        if (!expected.contains(QChar::ReplacementCharacter))
            return fail("a line of decoded text was refused");
        return {};
    }
    // What another program reads from the file is exactly the fields, nothing lost or added.
    Cp932Decoder reader;
    if (reader.decode(*line) != expected || reader.hasError())
        return fail("the result line does not read back as the fields");
    return {};
}

}
