#include "captureloop.h"
#include "captureview.h"
#include "cp932decoder.h"
#include "fakeserialcontrol.h"
#include "scriptedview.h"
#include "tempdosdevices.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Field = CaptureView::Field;

// A record body exactly 178 characters long, so that no read but the last can complete it,
// as code page 932 bytes. Its double-byte characters include 表 (0x95 0x5C), whose trail byte
// is an ASCII backslash, and a run of 亜 in an unused field to cut through. The name holds an
// ASCII K followed by the lead byte of 見, so some cuts leave a read of "K" alone.
QByteArray recordBytes()
{
    const QByteArray kanji("\x95\x5cK\x8c\xa9\x96\x7b\x8e\x81\x96\xbc"); // 表K見本氏名
    const QByteArray kana("\xd0\xce\xdd \xc0\xdb\xb3 "); // ﾐﾎﾝ ﾀﾛｳ and the padding space
    const QByteArray filler = QByteArray("\x88\x9f").repeated(20); // 亜 x 20
    int doubleBytes = 5 + 20;

    QByteArray body("\x06");
    body += QByteArray(22, '.') + "  123";
    for (const QByteArray& field : { QByteArray("001F1"), "002" + kanji, "003" + kana,
             QByteArray("004H04.02.29"), QByteArray("0052"), "006" + filler })
        body += ",\x1b" + field + "\x1b";
    body += QByteArray(178 - (body.size() - doubleBytes), '.');
    return body;
}

const QByteArray expectedLine(
    "\"00123 \",\"H04.02.29\",\"\x95\x5cK\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\",\"2\"\r\n");

}

class TestChunking : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void shouldCaptureSameRecordWhereverTheLineCutsIt_data();
    void shouldCaptureSameRecordWhereverTheLineCutsIt();

private:
    TempDosDevices m_devices;
};

void TestChunking::initTestCase() { QVERIFY(m_devices.isValid()); }

void TestChunking::init() { QFile::remove(m_devices.resultFile()); }

void TestChunking::shouldCaptureSameRecordWhereverTheLineCutsIt_data()
{
    QTest::addColumn<QList<int>>("cuts");

    const int size = int(recordBytes().size());
    for (int at = 0; at <= size; ++at)
        QTest::addRow("cut at byte %d", at) << QList<int> { at };
    QList<int> everyByte;
    for (int at = 1; at < size; ++at)
        everyByte << at;
    QTest::newRow("one byte per read") << everyByte;
    for (quint32 seed = 1; seed <= 30; ++seed) {
        QRandomGenerator random(seed);
        QList<int> cuts;
        const int count = random.bounded(2, 40);
        while (cuts.size() < count) {
            const int at = random.bounded(1, size);
            if (!cuts.contains(at))
                cuts << at;
        }
        std::sort(cuts.begin(), cuts.end());
        QTest::addRow("seed %u, %d cuts", seed, count) << cuts;
    }
}

void TestChunking::shouldCaptureSameRecordWhereverTheLineCutsIt()
{
    QFETCH(QList<int>, cuts);

    // The pieces go through the port's decoder, as successive reads do.
    const QByteArray bytes = recordBytes();
    QList<QByteArray> reads { QByteArrayLiteral("HEAD") };
    int from = 0;
    for (int at : cuts + QList<int> { int(bytes.size()) }) {
        reads << bytes.mid(from, at - from);
        from = at;
    }

    FakeSerialControl port;
    ScriptedView view(port);
    port.addBytes(reads);
    CaptureLoop(port, view).run();

    QVERIFY(view.fatals.isEmpty());
    QCOMPARE(view.commErrors, 0);
    QCOMPARE(view.aborts, 0);
    QCOMPARE(view.fields.value(Field::Text3), QStringLiteral("  123"));
    QCOMPARE(view.fields.value(Field::Text7), QStringLiteral("表K見本氏名"));
    QCOMPARE(view.fields.value(Field::Text2), QStringLiteral("ﾐﾎﾝ ﾀﾛｳ"));
    QCOMPARE(view.fields.value(Field::Text4), QStringLiteral("H04.02.29"));
    QCOMPARE(view.fields.value(Field::Text5), QStringLiteral("2"));
    QCOMPARE(view.fields.value(Field::Text8), QStringLiteral("1992/02/29 "));
    QFile result(m_devices.resultFile());
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), expectedLine);

    // From the header's ACK to the last one before the close, every poll of the body wait is
    // answered by one ACK before the next poll; only a read of a lone K waits for the read that
    // settles it, and the two share one ACK. The quiet after a complete body is not answered.
    const QStringList log = port.log();
    const qsizetype headerAck = log.indexOf(QStringLiteral("write:\u0006"));
    const qsizetype close = log.indexOf(QStringLiteral("close"), headerAck);
    QVERIFY(headerAck > 0 && close > headerAck);
    const qsizetype lastAck = log.lastIndexOf(QStringLiteral("write:\u0006"), close);
    for (const QString& entry : log.mid(lastAck + 1, close - lastAck - 1))
        QVERIFY2(
            entry == QLatin1String("read:") || entry == QLatin1String("clear"), qPrintable(entry));
    QStringList bodyWait = log.mid(headerAck + 1, lastAck - headerAck);
    bodyWait.removeAll(QStringLiteral("clear"));
    QVERIFY(bodyWait.size() >= 2);
    QStringList poll;
    for (const QString& entry : bodyWait) {
        if (entry.startsWith(QLatin1String("read:"))) {
            poll << entry;
            continue;
        }
        QCOMPARE(entry, QStringLiteral("write:\u0006"));
        QVERIFY2(poll.size() == 1 || (poll.size() == 2 && poll.first() == QLatin1String("read:K")),
            qPrintable(poll.join(QLatin1Char('|'))));
        poll.clear();
    }
}

QTEST_GUILESS_MAIN(TestChunking)
#include "tst_chunking.moc"
