#include "decodercheck.h"
#include "linecheck.h"
#include "recordcheck.h"
#include "tracecheck.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

// Every saved input of a fuzz target, seeds and past failures alike, one row each.
void addSavedInputs(const char* target)
{
    QTest::addColumn<QByteArray>("input");
    const QDir folder(QStringLiteral(FUZZ_CORPUS_DIR "/") + QLatin1String(target));
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), qPrintable(folder.path()));
    for (const QString& name : names) {
        QFile file(folder.filePath(name));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QTest::newRow(qPrintable(name)) << file.readAll();
    }
}

QString check(QString (*run)(const uint8_t*, size_t), const QByteArray& input)
{
    return run(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
}

}

class TestFuzzRegressions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shouldKeepRecordPipelinePropertiesForSavedInputs_data() { addSavedInputs("record"); }
    void shouldKeepRecordPipelinePropertiesForSavedInputs();
    void shouldKeepDecoderPropertiesForSavedInputs_data() { addSavedInputs("decoder"); }
    void shouldKeepDecoderPropertiesForSavedInputs();
    void shouldKeepTraceReaderPropertiesForSavedInputs_data() { addSavedInputs("trace"); }
    void shouldKeepTraceReaderPropertiesForSavedInputs();
    void shouldKeepOneLineOnePersonForSavedInputs_data() { addSavedInputs("line"); }
    void shouldKeepOneLineOnePersonForSavedInputs();
    void shouldKeepOneLineOnePersonWhereverTheFirstIsCut_data();
    void shouldKeepOneLineOnePersonWhereverTheFirstIsCut();
};

void TestFuzzRegressions::shouldKeepRecordPipelinePropertiesForSavedInputs()
{
    QFETCH(QByteArray, input);
    const QString problem = check(RecordCheck::run, input);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestFuzzRegressions::shouldKeepDecoderPropertiesForSavedInputs()
{
    QFETCH(QByteArray, input);
    const QString problem = check(DecoderCheck::run, input);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestFuzzRegressions::shouldKeepTraceReaderPropertiesForSavedInputs()
{
    QFETCH(QByteArray, input);
    const QString problem = check(TraceCheck::run, input);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestFuzzRegressions::shouldKeepOneLineOnePersonForSavedInputs()
{
    QFETCH(QByteArray, input);
    const QString problem = check(LineCheck::run, input);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestFuzzRegressions::shouldKeepOneLineOnePersonWhereverTheFirstIsCut_data()
{
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("gapPolls");
    QTest::addColumn<bool>("resent");
    QTest::addColumn<QList<int>>("readSizes");

    // Polled once per character time: no gap, 0.3 s, 0.7 s (both shorter than the silence that
    // gives a cut body up) and 1 s. Every cut of A, A whole included, with the reads cut into
    // random pieces that differ from row to row but not from run to run.
    const int size = int(LineCheck::bodyBytes(LineCheck::person(0)).size());
    quint32 seed = 0;
    for (int gap : { 0, 288, 672, 960 }) {
        for (bool resent : { false, true }) {
            for (int cut = 0; cut <= size; ++cut) {
                QRandomGenerator random(++seed);
                QList<int> sizes;
                for (int i = random.bounded(1, 8); i > 0; --i)
                    sizes << random.bounded(0, 41);
                QTest::addRow("cut %d, gap %d, %s", cut, gap, resent ? "re-sent" : "once")
                    << cut << gap << resent << sizes;
            }
        }
    }
}

void TestFuzzRegressions::shouldKeepOneLineOnePersonWhereverTheFirstIsCut()
{
    QFETCH(int, cut);
    QFETCH(int, gapPolls);
    QFETCH(bool, resent);
    QFETCH(QList<int>, readSizes);

    const QString problem
        = LineCheck::run(LineCheck::Scenario { cut, gapPolls, resent, readSizes });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
