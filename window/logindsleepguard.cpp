#include "sleepguard.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>

namespace {

// logind holds off sleep for as long as any copy of the descriptor it hands out stays open.
// The call is asynchronous: a logind that is slow to answer must not hold up Comm Open, and
// one that is missing (no system bus, a machine without systemd) leaves capturing as it was.
class LogindSleepGuard : public QObject, public SleepGuard {
    Q_OBJECT
public:
    void hold() override
    {
        m_wanted = true;
        if (m_inhibitor.isValid() || m_pending)
            return;
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return;
        QDBusMessage inhibit = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        inhibit << QStringLiteral("sleep") << QStringLiteral("reccap")
                << QStringLiteral("Capturing records from the instrument on COM3")
                << QStringLiteral("block");
        m_pending = bus.callWithCallback(
            inhibit, this, SLOT(taken(QDBusMessage)), SLOT(refused(QDBusError)), replyTimeoutMs);
    }

    void release() override
    {
        m_wanted = false;
        m_inhibitor = QDBusUnixFileDescriptor();
    }

private Q_SLOTS:
    void taken(const QDBusMessage& reply)
    {
        m_pending = false;
        // A release while the call was under way wins: the copy in the reply closes with it.
        if (!m_wanted || reply.arguments().isEmpty())
            return;
        m_inhibitor = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    }

    void refused(const QDBusError&) { m_pending = false; }

private:
    static constexpr int replyTimeoutMs = 5000;

    QDBusUnixFileDescriptor m_inhibitor;
    bool m_wanted { false };
    bool m_pending { false };
};

}

std::unique_ptr<SleepGuard> newSleepGuard() { return std::make_unique<LogindSleepGuard>(); }

#include "logindsleepguard.moc"
