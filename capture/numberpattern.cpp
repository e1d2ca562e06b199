#include "numberpattern.h"

namespace {

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    // Text typed through a Japanese input method often carries full-width digits; they are the
    // same number.
    if (u >= 0xFF10 && u <= 0xFF19)
        return u - 0xFF10;
    return -1;
}

}

QString NumberPattern::format(const QString& text, int digits)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    if (first == last)
        return text;

    // Kept as a digit string rather than converted to an integer, so an ID of any length keeps
    // its value instead of overflowing.
    QString number;
    number.reserve(last - first);
    for (qsizetype i = first; i < last; ++i) {
        const int value = digitValue(text.at(i));
        if (value < 0)
            return text;
        if (number.isEmpty() && value == 0)
            continue;
        number += QLatin1Char(char('0' + value));
    }
    if (number.isEmpty())
        number = QStringLiteral("0");
    if (number.size() < digits)
        number.prepend(QString(digits - number.size(), QLatin1Char('0')));
    return number;
}
