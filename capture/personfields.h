#pragma once

#include <QString>

// What one good record yields: the texts the window shows and the result file takes.
struct PersonFields {
    QString id; // Text3: five characters from position 24
    QString kanjiName; // Text7, cut at its first ESC
    QString kanaName; // Text2, cut at its second space
    QString birthDate; // Text4: the era date as sent, 9 characters
    QString birthDateConverted; // Text8: "yyyy/mm/dd " (or the slashed era date) and a space
    QString gender; // Text5: one character
    QString idItem; // first item of the result line: "00123 "
};
