#pragma once

#include <QProcess>
#include <QString>
#include <optional>

// Counts the system calls and context switches of a running process inside windows the
// benchmark opens and closes, through one `perf stat` per run attached to the process with its
// counters off, switched on and off over perf's control fifo. perf acknowledges each switch, so
// a window opened here is counting when open() returns and closed when close() returns.
//
// perf counts every thread of the process (the X connection's too); a thread the process starts
// later is counted from its start. Anything that goes wrong leaves the counts unknown, with the
// reason in errorString(); the run goes on without them.
class PerfWindow {
public:
    // The fifos, perf's output and its messages go into `folder`.
    explicit PerfWindow(const QString& folder);
    ~PerfWindow();
    PerfWindow(const PerfWindow&) = delete;
    PerfWindow& operator=(const PerfWindow&) = delete;

    bool start(qint64 pid);
    bool open();
    bool close();
    // Stops perf and reads what it counted over all the windows.
    bool finish();

    bool isCounting() const { return m_started && m_error.isEmpty(); }
    std::optional<qint64> systemCalls() const { return m_systemCalls; }
    std::optional<qint64> contextSwitches() const { return m_contextSwitches; }
    QString errorString() const { return m_error; }

private:
    bool command(const char* text, int timeoutMs);
    bool fail(const QString& why);
    QString perfSaid() const;
    void stop();

    QString m_folder;
    QProcess m_perf;
    int m_control { -1 };
    int m_ack { -1 };
    bool m_started { false };
    int m_windows { 0 };
    std::optional<qint64> m_systemCalls;
    std::optional<qint64> m_contextSwitches;
    QString m_error;
};
