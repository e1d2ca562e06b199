#pragma once

#include <QString>

// The "00000" and "00" patterns the instrument's fields pass through: an ID or a date part that
// reads as a whole number is written zero-padded, anything else goes through untouched so that
// an odd value reaches the operator and the result file as it was sent.
namespace NumberPattern {

// A whole number of ASCII or full-width digits, with ASCII spaces around it allowed, comes back
// in ASCII digits with at least `digits` digits; any other text comes back unchanged.
QString format(const QString& text, int digits);

}
