#include "commandline.h"

#include "dosdevices.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

std::optional<QString> commandLineAnswer(const QStringList& arguments)
{
    QCommandLineParser parser;
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
    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption version({ QStringLiteral("v"), QStringLiteral("version") },
        QStringLiteral("Show the version (%1).").arg(QStringLiteral(RECCAP_VERSION)));
    parser.addOptions({ help, version });

    // Unknown options make parse() fail, yet the known ones are still recorded.
    parser.parse(arguments);
    if (parser.isSet(version))
        return QStringLiteral("reccap %1\n").arg(QStringLiteral(RECCAP_VERSION));
    if (parser.isSet(help))
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
