#include "fieldextractor.h"

#include "eradate.h"
#include "numberpattern.h"

#include <array>

namespace {

constexpr QChar Esc = QChar(0x1b);

// The instrument sends seven fields; an eighth marker belongs to nothing we know.
constexpr int MaxMarkers = 7;

constexpr int BirthDateLength = 9;

// n characters from 1-based position p; shorter at the end of the body, empty beyond it.
QString cut(const QString& text, qsizetype p, qsizetype n)
{
    if (n <= 0 || p > text.size())
        return {};
    return text.mid(p - 1, n);
}

// The kana name is family name, space, given name; the instrument pads the field with spaces.
QString trimKana(const QString& window)
{
    const qsizetype first = window.indexOf(QLatin1Char(' '));
    if (first < 0)
        return window;
    const qsizetype second = window.indexOf(QLatin1Char(' '), first + 1);
    return second < 0 ? window : window.left(second);
}

QString trimKanji(const QString& window)
{
    const qsizetype esc = window.indexOf(Esc);
    return esc < 0 ? window : window.left(esc);
}

}

std::optional<PersonFields> FieldExtractor::extract(const QString& body, Refusal* why)
{
    using Field = CaptureView::Field;
    using Fault = Refusal::Fault;
    const auto refuse = [why](const Refusal& refusal) {
        if (why)
            *why = refusal;
        return std::nullopt;
    };
    // Slot k holds the k-th marker and the first ESC after it; slot 0 stays unused so the slot
    // numbers are the field numbers of the record layout.
    std::array<qsizetype, MaxMarkers + 1> start {};
    std::array<qsizetype, MaxMarkers + 1> end {};
    const auto at = [&body](qsizetype position) { return body.at(position - 1); };
    const qsizetype length = body.size();

    int markers = 0;
    for (qsizetype i = 3; i <= length; ++i) {
        if (at(i) != Esc || at(i - 1) != QLatin1Char(','))
            continue;
        if (++markers > MaxMarkers)
            break;
        start[markers] = i;
        // Any ESC closes a field, marker or not; the scan for markers still goes on from i + 1.
        for (qsizetype j = i + 1; j <= length; ++j) {
            if (at(j) == Esc) {
                end[markers] = j;
                break;
            }
        }
    }

    // A field whose marker is missing used to be cut at the previous record's positions, so a
    // short or damaged record went to the result file under another person's name, or a
    // negative window ended the program. Such a record is now refused as a whole. Five markers
    // also mean an ESC stands after the third (the fourth marker's own), so the kanji and kana
    // windows, which both end at end[3], always have a real end.
    if (markers < 5) {
        // The count cannot say which marker is gone; the field numbers the instrument puts
        // after its markers can, for the operator's message. Field 1 has no box in the window.
        constexpr Field numbered[] = { Field::Text7, Field::Text2, Field::Text4, Field::Text5 };
        for (int number = 2; number <= 5; ++number) {
            const QString marker = QStringLiteral(",\x1b%1").arg(number, 3, 10, QLatin1Char('0'));
            if (!body.contains(marker))
                return refuse(
                    { RecordRefusal::MissingField, numbered[number - 2], Fault::Missing });
        }
        return refuse(RecordRefusal::MissingField);
    }

    PersonFields fields;
    fields.id = cut(body, 24, 5);
    // Both name windows run on past their field and the trims cut them back. The kana window's
    // length is the end position itself, not a difference: it only has to reach past the name's
    // second space, and keeping it so cuts every kana name exactly as before.
    fields.kanjiName = trimKanji(cut(body, start[2] + 4, end[3] - start[2]));
    fields.kanaName = trimKana(cut(body, start[3] + 4, end[3]));
    fields.birthDate = cut(body, start[4] + 4, BirthDateLength);
    fields.gender = cut(body, start[5] + 4, 1);
    // A body that ends inside the date or before the gender lacks them; written as far as they
    // go, the file would hold a short date or an empty gender for this person.
    if (fields.birthDate.size() != BirthDateLength)
        return refuse({ RecordRefusal::MalformedField, Field::Text4, Fault::WrongLength });
    if (fields.gender.size() != 1)
        return refuse({ RecordRefusal::MalformedField, Field::Text5, Fault::WrongLength });
    fields.idItem = NumberPattern::format(fields.id, 5) + QLatin1Char(' ');
    fields.birthDateConverted = EraDate::convert(fields.birthDate);
    return fields;
}
