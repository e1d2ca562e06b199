#include "commandline.h"

#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void shouldAnswerOnlyItsOwnQuestions_data();
    void shouldAnswerOnlyItsOwnQuestions();
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
        for (const char* option : { "--help", "--version", "reccap(1)" })
            QVERIFY2(answer->contains(QLatin1String(option)), option);
    }
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
