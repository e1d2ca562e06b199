#include "benchplan.h"
#include "benchtable.h"
#include "reccaprun.h"
#include "xvfbserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <sys/prctl.h>

namespace {

// The load averages over 1, 5 and 15 minutes: the machine may be shared, and the table says so.
QString loadAverages()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    const QList<QByteArray> fields = file.readAll().split(' ');
    return QString::fromLatin1(fields.mid(0, 3).join(", "));
}

}

// Measures the shipped program against its unpaced variant and the bare polling loop, and
// prints one markdown table.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs reccap, reccap-unpaced and the bare polling loop reccap-floor on a pseudo-terminal "
        "under a private X server and prints processor use, system calls and wake-ups per poll, "
        "ACK rate and spacing, result latency, start-up time and peak memory."));
    parser.addHelpOption();
    const QCommandLineOption runsOption(QStringLiteral("runs"),
        QStringLiteral("Runs per variant (default 5)."), QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption waitOption(QStringLiteral("header-wait-s"),
        QStringLiteral("Seconds of header wait sampled per run (default 10)."), QStringLiteral("S"),
        QStringLiteral("10"));
    const QCommandLineOption recordsOption(QStringLiteral("records"),
        QStringLiteral("Records streamed per run (default 10)."), QStringLiteral("N"),
        QStringLiteral("10"));
    const QCommandLineOption wineOption(QStringLiteral("wine"),
        QStringLiteral("Also measure this Windows build of reccap.exe under Wine."),
        QStringLiteral("EXE"));
    const QCommandLineOption winePrefixOption(QStringLiteral("wine-prefix"),
        QStringLiteral("The Wine prefix for --wine (made beforehand; its com3 link and "
                       "drive_c/Result.txt are replaced)."),
        QStringLiteral("DIR"));
    const QCommandLineOption programOption(QStringLiteral("program"),
        QStringLiteral("Measure this build of reccap (paced and traced) instead of the one built "
                       "beside the benchmark, for a comparison of two builds."),
        QStringLiteral("PATH"));
    parser.addOptions(
        { runsOption, waitOption, recordsOption, wineOption, winePrefixOption, programOption });
    parser.process(app);

    BenchPlan plan;
    plan.runs = parser.value(runsOption).toInt();
    plan.headerWaitSeconds = parser.value(waitOption).toInt();
    plan.recordsPerRun = parser.value(recordsOption).toInt();
    if (plan.runs < 1 || plan.headerWaitSeconds < 1 || plan.recordsPerRun < 1) {
        std::fprintf(stderr, "reccap-bench: --runs, --header-wait-s and --records must be >= 1\n");
        return 2;
    }

    const QString wineProgram = parser.value(wineOption);
    const QString winePrefix = parser.value(winePrefixOption);
    if (wineProgram.isEmpty() != winePrefix.isEmpty()) {
        std::fprintf(stderr, "reccap-bench: --wine and --wine-prefix go together\n");
        return 2;
    }

    const QString program = parser.isSet(programOption)
        ? QFileInfo(parser.value(programOption)).absoluteFilePath()
        : QStringLiteral(RECCAP_BINARY);
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "reccap-bench: %s is not an executable\n", qPrintable(program));
        return 2;
    }

    // The default slack of 50 us would smear the 1.04 ms character grid of the line.
    prctl(PR_SET_TIMERSLACK, 1UL);

    QElapsedTimer clock;
    clock.start();
    const QString loadAtStart = loadAverages();
    XvfbServer xvfb;
    if (!xvfb.start()) {
        std::fprintf(stderr, "reccap-bench: %s\n", qPrintable(xvfb.errorString()));
        return 1;
    }

    QList<RunFigures> paced;
    QList<RunFigures> unpaced;
    QList<RunFigures> traced;
    QList<RunFigures> wine;
    QList<RunFigures> floor;
    int failed = 0;
    enum class Variant { Paced, Unpaced, Traced, Floor };
    // Alternating spreads any drift of the machine over the variants alike.
    for (int run = 1; run <= plan.runs; ++run) {
        for (const Variant variant :
            { Variant::Paced, Variant::Unpaced, Variant::Traced, Variant::Floor }) {
            const QString measured = variant == Variant::Unpaced
                ? QStringLiteral(RECCAP_UNPACED_BINARY)
                : variant == Variant::Floor ? QStringLiteral(RECCAP_FLOOR_BINARY)
                                            : program;
            const char* name = variant == Variant::Paced ? "paced"
                : variant == Variant::Unpaced            ? "unpaced"
                : variant == Variant::Traced             ? "paced, traced"
                                                         : "floor";
            std::fprintf(stderr, "run %d/%d, %s ...\n", run, plan.runs, name);
            ReccapRun measurement(measured, xvfb.display(), plan);
            measurement.setTraced(variant == Variant::Traced);
            measurement.setFloor(variant == Variant::Floor);
            const std::optional<RunFigures> figures = measurement.measure();
            if (!figures) {
                ++failed;
                std::fprintf(stderr, "reccap-bench: run failed: %s\n",
                    qPrintable(measurement.errorString()));
                continue;
            }
            (variant == Variant::Paced            ? paced
                    : variant == Variant::Unpaced ? unpaced
                    : variant == Variant::Traced  ? traced
                                                  : floor)
                << *figures;
        }
        if (!wineProgram.isEmpty()) {
            std::fprintf(stderr, "run %d/%d, Windows build under Wine ...\n", run, plan.runs);
            ReccapRun measurement(wineProgram, xvfb.display(), plan, winePrefix);
            const std::optional<RunFigures> figures = measurement.measure();
            if (figures) {
                wine << *figures;
            } else {
                ++failed;
                std::fprintf(stderr, "reccap-bench: run failed: %s\n",
                    qPrintable(measurement.errorString()));
            }
        }
    }
    if (paced.isEmpty() || unpaced.isEmpty() || floor.isEmpty()) {
        std::fprintf(stderr, "reccap-bench: no complete run of one variant; no table\n");
        return 1;
    }

    BenchTable table(plan, paced, unpaced, traced, floor, wine);
    table.setProgram(parser.isSet(programOption) ? program : QString());
    table.setLoadAverages(loadAtStart, loadAverages());
    std::fputs(table.markdown(clock.elapsed() / 1000.0, failed).toUtf8().constData(), stdout);
    return 0;
}
