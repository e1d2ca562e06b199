#pragma once

#include "benchplan.h"
#include "packetline.h"
#include "perfwindow.h"
#include "resultwatch.h"
#include "runfigures.h"

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <optional>

// One run of one build of the program: started under the given X display with a private
// configuration whose COM3 is a pseudo-terminal played by the benchmark and whose drive C is
// a private folder; "Comm Open" clicked; a silent header wait sampled; then records streamed
// at the line's pace, the benchmark writing every byte to the master itself. With a Wine
// prefix, the program is the Windows build run under Wine, and COM3 and drive C are the
// prefix's own.
//
// In floor mode the program is the bare polling loop instead (reccap-floor): no window to
// click and no result file, so a run is its records' bodies and their handshakes alone.
//
// Every run attaches perf for the windows in the middle of each body; a traced run's trace is
// read afterwards for the spacing of its ACKs.
class ReccapRun {
public:
    ReccapRun(const QString& program, const QString& display, const BenchPlan& plan,
        const QString& winePrefix = QString());
    ~ReccapRun();
    ReccapRun(const ReccapRun&) = delete;
    ReccapRun& operator=(const ReccapRun&) = delete;

    // The program writes a trace of its line (--trace) into its private folder.
    void setTraced(bool traced) { m_traced = traced; }
    // The program is the floor: started with COM3's path and the body length, nothing more.
    void setFloor(bool floor) { m_floor = floor; }

    std::optional<RunFigures> measure();
    QString errorString() const { return m_error; }

private:
    using Clock = std::chrono::steady_clock;

    bool prepare();
    bool start();
    bool openPort();
    bool sampleHeaderWait();
    bool streamRecords();
    bool sendHeader();
    bool sendBody(const QByteArray& body, bool firstOfRun);
    bool awaitResult(const QByteArray& expected);
    void awaitReopen();
    bool awaitFloorBodyEnd();
    void startCounting();
    void finishCounting();
    bool openBodyWindow(qint64* acks, qint64* wakeups);
    bool closeBodyWindow(qint64 acksAtOpen, qint64 wakeupsAtOpen);
    bool readTrace();
    bool sampleMemory();
    void stopProgram();

    // steady_clock is CLOCK_MONOTONIC, which is what the sleep takes.
    static void sleepUntil(Clock::time_point until);
    void pump(Clock::time_point until);
    bool waitFor(const std::function<bool()>& done, Clock::time_point until);
    bool fail(const QString& why);
    qint64 pid() const { return m_process.processId(); }

    QString m_program;
    QString m_display;
    QString m_winePrefix;
    BenchPlan m_plan;
    QTemporaryDir m_config;
    QTemporaryDir m_drive;
    PacketLine m_line;
    std::optional<ResultWatch> m_result;
    QProcess m_process;
    quint64 m_window { 0 };
    bool m_resultTouched { false };
    bool m_traced { false };
    bool m_floor { false };
    qsizetype m_floorBodyLength { 0 };
    std::optional<PerfWindow> m_perf;
    qint64 m_discardsAtLastByte { 0 };
    Clock::time_point m_lastByteAt {};
    double m_streamStartCpu { 0 };
    Clock::time_point m_streamStartAt {};
    RunFigures m_figures;
    QString m_error;
};
