#include "cp932table.h"

#include "cp932.h"

#include <QStringDecoder>
#include <QStringEncoder>

bool Cp932Table::isAvailable() { return QStringDecoder(Cp932::codecName()).isValid(); }

std::optional<QString> Cp932Table::decodePairs(const QByteArray& pairs)
{
    // A fresh converter for every run: in Qt 6.4 an ICU decoder that has decoded once no longer
    // flags unassigned codes in later calls, it only hands back U+FFFD for them. No code of
    // the code page means U+FFFD, so one in the text is an error whatever the flag says.
    QStringDecoder icu(Cp932::codecName());
    QString text = icu.decode(pairs);
    if (!icu.isValid() || icu.hasError() || text.size() * 2 != pairs.size()
        || text.contains(QChar(QChar::ReplacementCharacter)))
        return std::nullopt;
    return text;
}

std::optional<QByteArray> Cp932Table::encode(const QString& text)
{
    QStringEncoder icu(Cp932::codecName());
    QByteArray bytes = icu.encode(text);
    if (!icu.isValid() || icu.hasError())
        return std::nullopt;
    return bytes;
}
