#include "terminationsignals.h"

// Windows ends a window program through its window (WM_CLOSE, WM_ENDSESSION), which Qt turns
// into the close that releases the port; there are no signals to catch.
TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readPipe() { }
