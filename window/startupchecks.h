#pragma once

#include <QString>

// What the program must know before its window can do any good: where COM3 and drive C are.
// Returns why it cannot start, or an empty string. Found at start, the problem ends the
// program before the operator has pressed anything, not at the first record.
QString configurationProblem();
