#pragma once

#include "personfields.h"

#include <QByteArray>
#include <optional>

// The one line another program takes up from the result file: the ID item, the date of birth as
// sent, the kanji name and the gender, each in double quotes, comma-separated, CR LF at the end,
// in code page 932.
namespace ResultLine {

// std::nullopt when some character has no exact code page 932 form.
std::optional<QByteArray> build(const PersonFields& fields);

}
