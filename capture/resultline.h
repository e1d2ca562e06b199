#pragma once

#include "personfields.h"
#include "recordrefusal.h"

#include <QByteArray>
#include <optional>

// The one line another program takes up from the result file: the ID item, the date of birth as
// sent, the kanji name and the gender, each in double quotes, comma-separated, CR LF at the end,
// in code page 932.
namespace ResultLine {

// The reader splits the line on its quotes and takes one line per record, so every item must be
// plain text: no control character (a CR or LF would make two lines, an ESC is a field
// separator that the extraction cut in the wrong place) and no double quote.
bool holdsOnlyPlainText(const QString& item);

// std::nullopt when an item is not plain text (`why` is then MalformedField) or some character
// has no exact code page 932 form (Unencodable); `why` names the item's field.
std::optional<QByteArray> build(const PersonFields& fields, Refusal* why = nullptr);

}
