#include "sessionwatch.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>

#include <qt_windows.h>
#include <wtsapi32.h>

// Qt hands every message of its windows to the application's native event filters first;
// the session's notifications come to the window registered for them, and to no other.
struct SessionWatch::Native : QAbstractNativeEventFilter {
    explicit Native(SessionWatch* owner)
        : watch(owner)
    {
    }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_WTSSESSION_CHANGE && msg->hwnd == window)
            Q_EMIT watch->changed(int(msg->wParam), quint32(msg->lParam));
        return false;
    }
    SessionWatch* watch;
    HWND window { nullptr };
};

SessionWatch::SessionWatch(QObject* parent)
    : QObject(parent)
    , m_native(new Native(this))
{
    QCoreApplication::instance()->installNativeEventFilter(m_native);
}

SessionWatch::~SessionWatch()
{
    if (m_native->window)
        WTSUnRegisterSessionNotification(m_native->window);
    QCoreApplication::instance()->removeNativeEventFilter(m_native);
    delete m_native;
}

quint32 SessionWatch::ownSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

void SessionWatch::watch(QWidget* window)
{
    if (m_native->window)
        WTSUnRegisterSessionNotification(m_native->window);
    m_native->window = reinterpret_cast<HWND>(window->winId());
    // Only this session's changes: another user's at the same desk are theirs.
    if (!WTSRegisterSessionNotification(m_native->window, NOTIFY_FOR_THIS_SESSION))
        m_native->window = nullptr;
}
