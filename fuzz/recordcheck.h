#pragma once

#include "chunkplan.h"
#include "cp932decoder.h"
#include "fieldextractor.h"
#include "linerules.h"
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

// The 1-based positions of the field markers as the extraction counts them: an ESC right after
// a comma, from position 3 on.
inline QList<qsizetype> markerPositions(const QString& body)
{
    QList<qsizetype> positions;
    for (qsizetype i = 2; i < body.size(); ++i) {
        if (body.at(i) == QChar(0x1b) && body.at(i - 1) == QLatin1Char(','))
            positions << i + 1;
    }
    return positions;
}

// The text the port delivers for these reads, through one decoder as successive reads go.
inline QString decodeReads(const QList<QByteArray>& reads)
{
    Cp932Decoder decoder;
    QString text;
    for (const QByteArray& read : reads)
        text += decoder.decode(read);
    return text;
}

inline QString run(const uint8_t* data, size_t size)
{
    const ChunkPlan plan(data, size);
    const auto fail
        = [&](const char* what) { return describe(QString::fromLatin1(what), plan.bytes()); };

    // The same bytes make the same record whether the line cuts them as planned, into single
    // bytes as a paced poll reads them, or not at all.
    const QString received = decodeReads(plan.pieces());
    QList<QByteArray> singleBytes;
    for (const char byte : plan.bytes())
        singleBytes << QByteArray(1, byte);
    if (decodeReads(singleBytes) != received || decodeReads({ plan.bytes() }) != received)
        return fail("the body depends on how the line cut it into reads");
    const QString body = LineRules::recordBody(received);
    if (body.size() > LineRules::minimumBodyLength)
        return fail("the body keeps characters past its length");

    const std::optional<PersonFields> fields = FieldExtractor::extract(body);
    // A record is refused by the extraction only when it lacks one of the five markers its
    // fields need, or ends before its date of birth and gender are complete.
    const QList<qsizetype> markers = markerPositions(body);
    if (markers.size() < 5) {
        if (fields)
            return fail("record without the markers its fields need was accepted");
        return {};
    }
    if (!fields) {
        // The date's nine characters start four after marker 4, the gender four after marker 5.
        if (markers[3] + 4 + 8 <= body.size() && markers[4] + 4 <= body.size())
            return fail("record with all its fields was refused");
        return {};
    }

    if (fields->id.size() > 5 || fields->birthDate.size() != 9 || fields->gender.size() != 1)
        return fail("a fixed-width field came out at another width");
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
    const bool plain = ResultLine::holdsOnlyPlainText(fields->idItem)
        && ResultLine::holdsOnlyPlainText(fields->birthDate)
        && ResultLine::holdsOnlyPlainText(fields->kanjiName)
        && ResultLine::holdsOnlyPlainText(fields->gender);
    if (!line) {
        // Everything the decoder delivers can be written back, so only a character it could not
        // read, a control character or a quote may keep a record out of the file.
        if (plain && !expected.contains(QChar::ReplacementCharacter))
            return fail("a line of plain decoded text was refused");
        return {};
    }
    if (!plain || expected.count(QLatin1Char('"')) != 8 || expected.count(QLatin1Char('\n')) != 1)
        return fail("the result line carries a control character or a stray quote");
    // What another program reads from the file is exactly the fields, nothing lost or added.
    Cp932Decoder reader;
    if (reader.decode(*line) != expected || reader.hasError())
        return fail("the result line does not read back as the fields");
    return {};
}

}
