#pragma once

#include <QObject>
#include <QWidget>

// The desk's session as Windows reports its changes to a window: with fast user switching, the
// operator's session may be disconnected while another user signs in at the same desk, and a
// reccap left holding COM3 there keeps the next user's reccap off the port ("Access is
// denied"), possibly behind a box no one sees. Locking the screen is not leaving: the operator
// comes back to the same session, and records keep arriving meanwhile.
//
// One watch per process. On Windows it registers the window for the session's notifications
// (WTSRegisterSessionNotification) and emits changed() for each WM_WTSSESSION_CHANGE; elsewhere
// nothing is reported. The window connects to changed() as it connects to aboutToQuit for the
// end of the session, and tests emit it the same way.
class SessionWatch : public QObject {
    Q_OBJECT
public:
    // The values of WM_WTSSESSION_CHANGE's wParam that the rule below tells apart.
    enum Event : int {
        ConsoleConnect = 0x1,
        ConsoleDisconnect = 0x2,
        RemoteConnect = 0x3,
        RemoteDisconnect = 0x4,
        SessionLogon = 0x5,
        SessionLogoff = 0x6,
        SessionLock = 0x7,
        SessionUnlock = 0x8,
    };

    static SessionWatch* instance();
    // The session this process runs in (Windows' session id; 0 elsewhere).
    static quint32 ownSession();

    // Starts reporting the changes of the session that `window` is shown in.
    void watch(QWidget* window);

    // Whether the change takes the operator away from reccap's session for good enough that
    // the line must be let go: only a disconnection of this very session (another user's
    // switch at the console, or a remote desktop closed). Lock, unlock, a logon or a
    // connection elsewhere leave capture running; the session's end is aboutToQuit's.
    static bool leavesSession(int event, quint32 session, quint32 ownSession);

Q_SIGNALS:
    void changed(int event, quint32 session);

private:
    explicit SessionWatch(QObject* parent = nullptr);
    ~SessionWatch() override;

    struct Native;
    Native* m_native { nullptr };
};
