#pragma once

#include <QProcess>
#include <QString>

// A private X server for tests and benchmarks that need a real window: a free display number
// is picked, and the server is stopped with the object.
class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts Xvfb and waits, at most `timeoutMs`, until it accepts connections.
    bool start(int timeoutMs = 15000);
    void stop();
    // ":N", for DISPLAY.
    QString display() const { return m_display; }
    QString errorString() const { return m_error; }

private:
    QProcess m_process;
    QString m_display;
    QString m_error;
};
