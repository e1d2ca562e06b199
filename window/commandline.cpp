#include "commandline.h"

#include "dosdevices.h"
#include "linetrace.h"
#include "tracefile.h"
#include "tracingserialcontrol.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

struct Options {
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption trace;
};

Options addOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Receives person records from the instrument on serial port COM3, shows "
                       "them in one window and rewrites C:\\Result.txt with the latest one.\n"
                       "COM3 and drive C are the links com3 and c: in %1.\n"
                       "Other arguments are ignored; toolkit options such as -platform go to "
                       "Qt. See reccap(1).")
            .arg(DosDevices::folder()));
    // Qt's own options are single-dash words; read as bundles of letters, -reverse would
    // carry a -v and -stylesheet an -h.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    Options options {
        QCommandLineOption(
            { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help.")),
        QCommandLineOption({ QStringLiteral("v"), QStringLiteral("version") },
            QStringLiteral("Show the version (%1).").arg(QStringLiteral(RECCAP_VERSION))),
        QCommandLineOption(QStringLiteral("trace"),
            QStringLiteral("Append a trace of the serial line to FILE: every byte received and "
                           "sent with its time, each open, close, discard and break, and what "
                           "became of each record. It holds the names and dates of birth of the "
                           "people captured. RECCAP_TRACE=FILE in the environment does the "
                           "same; instrument-sim --replay plays a trace again."),
            QStringLiteral("FILE")),
    };
    parser.addOptions({ options.help, options.version, options.trace });
    return options;
}

}

std::optional<QString> commandLineAnswer(const QStringList& arguments)
{
    QCommandLineParser parser;
    const Options options = addOptions(parser);
    // Unknown options make parse() fail, yet the known ones are still recorded.
    parser.parse(arguments);
    if (parser.isSet(options.version))
        return QStringLiteral("reccap %1\n").arg(QStringLiteral(RECCAP_VERSION));
    if (parser.isSet(options.help))
        return parser.helpText();
    return std::nullopt;
}

std::optional<int> answerCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!commandLineAnswer(arguments))
        return std::nullopt;

    // A core application needs no display, and it lets the usage line name the program.
    QCoreApplication app(argc, argv);
    const std::optional<QString> answer = commandLineAnswer(QCoreApplication::arguments());
    std::fputs(qPrintable(answer.value_or(QString())), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

QString traceFileName(const QStringList& arguments, const QString& environment, QString* problem)
{
    QCommandLineParser parser;
    const Options options = addOptions(parser);
    parser.parse(arguments);
    if (parser.isSet(options.trace)) {
        if (!parser.value(options.trace).isEmpty())
            return parser.value(options.trace);
        *problem = QCoreApplication::translate(
            "CommandLine", "--trace wants a file name; no trace is written");
        return {};
    }
    return environment;
}

SerialControl* traceLineIfAsked(SerialControl* port)
{
    const auto complain = [](const QString& message) {
        std::fprintf(stderr, "reccap: %s\n", qUtf8Printable(message));
        std::fflush(stderr);
    };
    QString problem;
    const QString name = traceFileName(
        QCoreApplication::arguments(), qEnvironmentVariable("RECCAP_TRACE"), &problem);
    if (!problem.isEmpty())
        complain(problem);
    if (name.isEmpty())
        return port;

    const QString path = TraceFile::resolve(name);
    QString error;
    std::unique_ptr<QFile> file = TraceFile::openForAppend(path, &error);
    if (!file) {
        complain(QCoreApplication::translate(
            "CommandLine", "cannot open the trace %1: %2; capturing goes on without it")
                     .arg(path, error));
        return port;
    }
    auto trace = std::make_unique<LineTrace>(
        std::move(file), path, QStringLiteral(RECCAP_VERSION), complain);
    return new TracingSerialControl(port, std::move(trace));
}
