#pragma once

#include <QString>

// The date of birth arrives as a Japanese era date, "S45.03.12"; the operator and the programs
// downstream want the Gregorian "1970/03/12".
namespace EraDate {

// "yyyy/mm/dd " when the 9-character era date reads as a date, otherwise the slashed era date
// ("X45/03/12 "), so that a date the program cannot read is still shown as sent. Always ends in
// exactly one space.
QString convert(const QString& eraDate);

}
