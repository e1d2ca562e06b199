#include "terminationsignals.h"

// Windows ends a window program through its window, and there are no signals to catch. A
// WM_CLOSE is the window's close; at logoff or shutdown WM_ENDSESSION is not: Qt answers it by
// emitting aboutToQuit and quitting the event loop, and the process may be ended right after,
// so the window releases the line on aboutToQuit itself.
TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readPipe() { }
