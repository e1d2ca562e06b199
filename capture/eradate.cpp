#include "eradate.h"

#include "numberpattern.h"

#include <QDate>
#include <optional>

namespace {

// n characters from 1-based position p; shorter at the end of the text, empty beyond it.
QString cut(const QString& text, qsizetype p, qsizetype n)
{
    if (n <= 0 || p > text.size())
        return {};
    return text.mid(p - 1, n);
}

std::optional<int> firstYearOfEra(QChar letter)
{
    switch (letter.toUpper().unicode()) {
    case u'M':
        return 1868;
    case u'T':
        return 1912;
    case u'S':
        return 1926;
    case u'H':
        return 1989;
    case u'R':
        return 2019;
    default:
        return std::nullopt;
    }
}

// Only plain digits count: a part the number pattern passed through unchanged is not a number.
std::optional<int> readNumber(const QString& part)
{
    if (part.isEmpty())
        return std::nullopt;
    int value = 0;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

}

QString EraDate::convert(const QString& eraDate)
{
    const QString letter = cut(eraDate, 1, 1);
    const QString year = NumberPattern::format(cut(eraDate, 2, 2), 2);
    const QString month = NumberPattern::format(cut(eraDate, 5, 2), 2);
    const QString day = NumberPattern::format(cut(eraDate, 8, 2), 2);
    const QString slashed = letter + year + QLatin1Char('/') + month + QLatin1Char('/') + day;

    const std::optional<int> firstYear
        = letter.isEmpty() ? std::nullopt : firstYearOfEra(letter.at(0));
    const std::optional<int> eraYear = readNumber(year);
    const std::optional<int> monthNumber = readNumber(month);
    const std::optional<int> dayNumber = readNumber(day);
    // A year past the era's end still converts by the arithmetic: the instrument may keep an
    // old era after a change of era (H31/05/01 is 2019/05/01), and that date is no less real.
    if (firstYear && eraYear && monthNumber && dayNumber && *eraYear >= 1 && *eraYear <= 99) {
        const QDate date(*firstYear + *eraYear - 1, *monthNumber, *dayNumber);
        if (date.isValid())
            return date.toString(QStringLiteral("yyyy/MM/dd "));
    }
    return slashed + QLatin1Char(' ');
}
