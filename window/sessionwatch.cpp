#include "sessionwatch.h"

#include <QCoreApplication>

SessionWatch* SessionWatch::instance()
{
    static SessionWatch* const watch = new SessionWatch(qApp);
    return watch;
}

bool SessionWatch::leavesSession(int event, quint32 session, quint32 ownSession)
{
    return session == ownSession && (event == ConsoleDisconnect || event == RemoteDisconnect);
}
