#include "commandline.h"

#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void shouldAnswerOnlyItsOwnQuestions_data();
    void shouldAnswerOnlyItsOwnQuestions();
    void shouldTakeTheTraceFromTheCommandLineOrTheEnvironment_data();
    void shouldTakeTheTraceFromTheCommandLineOrTheEnvironment();
};

void TestCommandLine::shouldAnswerOnlyItsOwnQuestions_data()
{
    QTest::addColumn<QStringList>("arguments");
    // "window" when the program should start, otherwise the question answered.
    QTest::addColumn<QString>("expected");

    QTest::newRow("no arguments") << QStringList {} << "window";
    QTest::newRow("--version") << QStringList { "--version" } << "version";
    QTest::newRow("-v") << QStringList { "-v" } << "version";
    QTest::newRow("--help") << QStringList { "--help" } << "help";
    QTest::newRow("-h") << QStringList { "-h" } << "help";
    QTest::newRow("version wins over help") << QStringList { "--help", "--version" } << "version";
    QTest::newRow("among toolkit and unknown options")
        << QStringList { "-platform", "xcb", "--frobnicate", "--version", "stray" } << "version";
    QTest::newRow("toolkit -platform xcb") << QStringList { "-platform", "xcb" } << "window";
    // Read as bundled letters, these would ask for the version and for help.
    QTest::newRow("toolkit -reverse") << QStringList { "-reverse" } << "window";
    QTest::newRow("toolkit -stylesheet") << QStringList { "-stylesheet", "a.qss" } << "window";
    QTest::newRow("unknown option") << QStringList { "--frobnicate" } << "window";
    QTest::newRow("stray word") << QStringList { "stray" } << "window";
    QTest::newRow("after --") << QStringList { "--", "--version" } << "window";
}

void TestCommandLine::shouldAnswerOnlyItsOwnQuestions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    arguments.prepend(QStringLiteral("reccap"));
    const std::optional<QString> answer = commandLineAnswer(arguments);
    if (expected == QLatin1String("window")) {
        QVERIFY2(!answer, qPrintable(answer.value_or(QString())));
    } else if (expected == QLatin1String("version")) {
        QCOMPARE(answer.value_or(QString()), QStringLiteral("reccap %1\n").arg(RECCAP_VERSION));
    } else {
        QVERIFY(answer);
        QVERIFY2(answer->startsWith(QStringLiteral("Usage: ")), qPrintable(*answer));
        for (const char* option : { "--help", "--version", "--trace", "RECCAP_TRACE", "reccap(1)" })
            QVERIFY2(answer->contains(QLatin1String(option)), option);
    }
}

void TestCommandLine::shouldTakeTheTraceFromTheCommandLineOrTheEnvironment_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("trace");
    QTest::addColumn<bool>("complains");

    QTest::newRow("neither") << QStringList {} << QString() << QString() << false;
    QTest::newRow("the environment, as a shortcut sets it") << QStringList {} << "desk.trace"
                                                            << "desk.trace" << false;
    QTest::newRow("the command line wins")
        << QStringList { "--trace", "/var/tmp/a.trace" } << "desk.trace"
        << "/var/tmp/a.trace" << false;
    QTest::newRow("--trace=FILE") << QStringList { "--trace=a.trace" } << QString() << "a.trace"
                                  << false;
    QTest::newRow("among toolkit and unknown options")
        << QStringList { "-platform", "xcb", "--frobnicate", "--trace", "a.trace" } << QString()
        << "a.trace" << false;
    QTest::newRow("--trace without a file")
        << QStringList { "--trace" } << "desk.trace" << QString() << true;
    QTest::newRow("--trace= without a file")
        << QStringList { "--trace=" } << "desk.trace" << QString() << true;
}

void TestCommandLine::shouldTakeTheTraceFromTheCommandLineOrTheEnvironment()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, environment);
    QFETCH(QString, trace);
    QFETCH(bool, complains);

    arguments.prepend(QStringLiteral("reccap"));
    QString problem;
    QCOMPARE(traceFileName(arguments, environment, &problem), trace);
    QCOMPARE(!problem.isEmpty(), complains);
    // Tracing is no question to answer: the window still starts.
    QVERIFY(!commandLineAnswer(arguments));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
