#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// A desktop's accessibility buses for one test: a private session bus (dbus-daemon) and the
// AT-SPI bus launcher on it. A program given environment() exposes its windows there, and a
// client given the same reads them, as a screen reader would; the machine's own session, if
// any, is never involved. Both buses end with the object.
class AtSpiSession {
public:
    AtSpiSession() = default;
    ~AtSpiSession();
    AtSpiSession(const AtSpiSession&) = delete;
    AtSpiSession& operator=(const AtSpiSession&) = delete;

    // Starts both and waits, at most `timeoutMs`, until the accessibility bus can be asked for.
    bool start(int timeoutMs = 15000);
    // `base` with the session bus, and Qt told to expose its windows whether or not a screen
    // reader runs.
    QProcessEnvironment environment(
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;
    QString errorString() const { return m_error; }

private:
    bool launcherReady() const;

    QProcess m_bus;
    QProcess m_launcher;
    QString m_address;
    QString m_error;
};
