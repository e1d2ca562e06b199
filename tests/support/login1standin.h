#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A system bus of the test's own (dbus-daemon with a configuration written here) with a
// stand-in for logind on it (support/login1-standin): what the program takes and gives back
// of sleep inhibitors is read from the stand-in's report, a release seen as end-of-file on
// its end of the descriptor's pipe. The machine's own system bus is never involved.
class Login1StandIn {
public:
    Login1StandIn() = default;
    ~Login1StandIn();
    Login1StandIn(const Login1StandIn&) = delete;
    Login1StandIn& operator=(const Login1StandIn&) = delete;

    // Starts the bus and the stand-in, and waits at most `timeoutMs` until it owns its name.
    bool start(const QString& standInScript, int timeoutMs = 15000);
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

    // Every "asked ...", "taken ..." and "released ..." line reported so far.
    QStringList events();
    // How many inhibitors are handed out and not yet released.
    int held();
    // How the stand-in answers the calls that follow: "answer" (at once), "delay MS", "refuse".
    bool answerWith(const QByteArray& mode);

private:
    QTemporaryDir m_folder;
    QProcess m_bus;
    QProcess m_standIn;
    QString m_address;
    QString m_error;
    QStringList m_events;
};
