#include "sessionwatch.h"

// A Linux desk switches users by virtual terminal or display manager, and each user's reccap
// finds the port through its own lock file; nothing here is reported.
struct SessionWatch::Native { };

SessionWatch::SessionWatch(QObject* parent)
    : QObject(parent)
{
}

SessionWatch::~SessionWatch() = default;

quint32 SessionWatch::ownSession() { return 0; }

void SessionWatch::watch(QWidget*) { }
