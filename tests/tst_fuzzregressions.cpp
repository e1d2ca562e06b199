#include "decodercheck.h"
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

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
