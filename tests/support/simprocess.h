#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// The instrument simulator as a child process whose progress lines can be waited for.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with `arguments` and waits until its line is linked as a port.
    bool start(const QString& program, const QStringList& arguments, int timeoutMs = 15000);
    // Waits until an output line matches; returns the match, or an invalid one at the deadline.
    QRegularExpressionMatch waitForLine(const QRegularExpression& pattern, int timeoutMs);
    // Ends it (SIGTERM, as an operator's Ctrl-C would) and returns its exit code.
    int stop();
    QStringList lines() const { return m_lines; }
    qint64 processId() const { return m_process.processId(); }
    QString errorOutput();

private:
    void collect();

    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    qsizetype m_scanned { 0 };
};
