#include "captureloop.h"
#include "captureview.h"
#include "fakeserialcontrol.h"
#include "scriptedview.h"
#include "tempdosdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

namespace {

const QString ack = QStringLiteral("\u0006");
const QString esc = QStringLiteral("\u001b");

// A record body in the instrument's layout: the ID at positions 24 to 28, then each field
// after ",ESC" and three characters, ended by ESC. `gap` characters of filler stand before
// the gender field, to move it past the minimum body length.
QString recordBody(int gap = 0, const QString& first = ack)
{
    QString body = first + QString(22, QLatin1Char('.')) + QStringLiteral("00123");
    body += QLatin1Char(',') + esc + QStringLiteral("001F1") + esc;
    body += QLatin1Char(',') + esc + QStringLiteral("002見本氏名") + esc;
    body += QLatin1Char(',') + esc + QStringLiteral("003ﾐﾎﾝ ﾀﾛｳ ") + esc;
    body += QLatin1Char(',') + esc + QStringLiteral("004S45.03.12") + esc;
    body += QString(gap, QLatin1Char('-'));
    body += QLatin1Char(',') + esc + QStringLiteral("0052") + esc;
    while (body.size() < CaptureLoop::minimumBodyLength)
        body += QLatin1Char('.');
    return body;
}

const QByteArray goodLine(
    "\"00123 \",\"S45.03.12\",\"\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\",\"2\"\r\n");

int count(const QStringList& list, const QString& entry) { return int(list.count(entry)); }

}

class TestCaptureLoop : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void shouldAcknowledgeOnlyExactFourCharacterHeader_data();
    void shouldAcknowledgeOnlyExactFourCharacterHeader();
    void shouldAcknowledgeEveryBodyPollUntilMinimumLength_data();
    void shouldAcknowledgeEveryBodyPollUntilMinimumLength();
    void shouldTreatOnlyExactKAsAbort_data();
    void shouldTreatOnlyExactKAsAbort();
    void shouldAskForResendWhenBodyDoesNotStartWithAck();
    void shouldRejectRecordMissingAField();
    void shouldEndOnlyWhenPortFoundClosedInAWait_data();
    void shouldEndOnlyWhenPortFoundClosedInAWait();
    void shouldReportFatalWhenPortCannotOpen();
    void shouldReportFatalWhenResultFileCannotBeWritten();
    void shouldRefuseSecondLoopInsideYield();
    void shouldEndAtNextYieldAfterStop();

private:
    TempDosDevices m_devices;
};

void TestCaptureLoop::initTestCase() { QVERIFY(m_devices.isValid()); }

void TestCaptureLoop::init() { QFile::remove(m_devices.resultFile()); }

void TestCaptureLoop::shouldAcknowledgeOnlyExactFourCharacterHeader_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QString>("header");

    QTest::newRow("2 + 2") << QStringList { "AB", "CD" } << QStringLiteral("ABCD");
    QTest::newRow("1 + 3 after empty polls")
        << QStringList { "", "A", "", "BCD" } << QStringLiteral("ABCD");
    QTest::newRow("K in a header is data") << QStringList { "K", "OK!" } << QStringLiteral("KOK!");
    QTest::newRow("kanji count as one")
        << QStringList { "見本", "氏名" } << QStringLiteral("見本氏名");
    QTest::newRow("5 at once never ends") << QStringList { "ABCDE" } << QString();
    QTest::newRow("3 then 2 never ends") << QStringList { "ABC", "DE" } << QString();
    QTest::newRow("5 then more never ends") << QStringList { "ABCDE", "", "F" } << QString();
}

void TestCaptureLoop::shouldAcknowledgeOnlyExactFourCharacterHeader()
{
    QFETCH(QStringList, reads);
    QFETCH(QString, header);

    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads(reads);
    CaptureLoop(port, view).run();

    QCOMPARE(port.inputLen(), 0);
    QCOMPARE(view.fields.value(CaptureView::Field::Text1), header);
    QCOMPARE(port.writes(), header.isEmpty() ? QStringList() : QStringList { ack });
    QCOMPARE(view.lamp, header.isEmpty() ? CaptureView::Lamp::Green : CaptureView::Lamp::Blue);
    QVERIFY(!view.openEnabled);
    if (!header.isEmpty()) {
        // The ACK goes out between two discards, and the five record fields are emptied.
        const QStringList log = port.log();
        const qsizetype write = log.indexOf(QStringLiteral("write:") + ack);
        QCOMPARE(log.at(write - 1), QStringLiteral("clear"));
        QCOMPARE(log.at(write + 1), QStringLiteral("clear"));
        for (auto field : { CaptureView::Field::Text2, CaptureView::Field::Text3,
                 CaptureView::Field::Text4, CaptureView::Field::Text5, CaptureView::Field::Text7 })
            QVERIFY(view.fields.contains(field) && view.fields.value(field).isEmpty());
    }
}

void TestCaptureLoop::shouldAcknowledgeEveryBodyPollUntilMinimumLength_data()
{
    QTest::addColumn<QStringList>("bodyReads");
    QTest::addColumn<int>("acks");
    QTest::addColumn<bool>("recorded");

    const QString body = recordBody();
    QTest::newRow("100 + 78") << QStringList { body.left(100), body.mid(100) } << 2 << true;
    QTest::newRow("empty polls are acknowledged")
        << QStringList { "", body.left(100), "", "", body.mid(100) } << 5 << true;
    // The gender field stands past position 178, so it is there only if the last piece is kept
    // whole.
    const QString longBody = recordBody(118);
    QCOMPARE(longBody.size(), 200);
    QTest::newRow("170 + 30 keeps all 200")
        << QStringList { longBody.left(170), longBody.mid(170) } << 2 << true;
    QTest::newRow("177 keeps waiting") << QStringList { body.left(177) } << 1 << false;
    QTest::newRow("one character per poll")
        << body.split(QString(), Qt::SkipEmptyParts) << int(body.size()) << true;
}

void TestCaptureLoop::shouldAcknowledgeEveryBodyPollUntilMinimumLength()
{
    QFETCH(QStringList, bodyReads);
    QFETCH(int, acks);
    QFETCH(bool, recorded);

    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads(QStringList { "HEAD" } + bodyReads);
    CaptureLoop(port, view).run();

    QCOMPARE(port.writes().size(), 1 + acks);
    QCOMPARE(view.commErrors, 0);
    QFile file(m_devices.resultFile());
    QCOMPARE(file.exists(), recorded);
    if (recorded) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), goodLine);
        QCOMPARE(view.lamp, CaptureView::Lamp::Green);
        QCOMPARE(view.fields.value(CaptureView::Field::Text2), QStringLiteral("ﾐﾎﾝ ﾀﾛｳ"));
        QCOMPARE(view.fields.value(CaptureView::Field::Text8), QStringLiteral("1970/03/12 "));
        // The last ACK is queued before the port closes, so the instrument receives it.
        const QStringList log = port.log();
        QCOMPARE(log.at(log.indexOf(QStringLiteral("close")) - 2), QStringLiteral("write:") + ack);
    }
}

void TestCaptureLoop::shouldTreatOnlyExactKAsAbort_data()
{
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("aborts");

    QTest::newRow("K") << QStringLiteral("K") << true;
    QTest::newRow("KK") << QStringLiteral("KK") << false;
    QTest::newRow("K with data") << QStringLiteral("K1") << false;
    QTest::newRow("lower-case k") << QStringLiteral("k") << false;
    QTest::newRow("full-width K") << QStringLiteral("Ｋ") << false;
}

void TestCaptureLoop::shouldTreatOnlyExactKAsAbort()
{
    QFETCH(QString, chunk);
    QFETCH(bool, aborts);

    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads({ "HEAD", ack + QStringLiteral("abc"), chunk, "x" });
    CaptureLoop(port, view).run();

    QCOMPARE(view.aborts, aborts ? 1 : 0);
    // Header ACK and one per body poll; an abort chunk is neither acknowledged nor followed.
    QCOMPARE(port.writes().size(), aborts ? 2 : 4);
    if (aborts) {
        QCOMPARE(port.log().last(), QStringLiteral("read:K"));
        QVERIFY(port.portOpen());
    }
}

void TestCaptureLoop::shouldAskForResendWhenBodyDoesNotStartWithAck()
{
    FakeSerialControl port;
    ScriptedView view(port);
    view.fields[CaptureView::Field::Text8] = QStringLiteral("1999/01/01 ");
    port.addReads({ "HEAD", recordBody(0, QStringLiteral("\u0002")) });
    CaptureLoop(port, view).run();

    QCOMPARE(view.commErrors, 1);
    QVERIFY(!view.portOpenAtCommError);
    QCOMPARE(view.lampAtCommError, CaptureView::Lamp::Blue);
    QCOMPARE(view.fieldsAtCommError.value(CaptureView::Field::Text1), QStringLiteral("HEAD"));
    QCOMPARE(view.fieldsAtCommError.value(CaptureView::Field::Text3), QString());
    QCOMPARE(
        view.fieldsAtCommError.value(CaptureView::Field::Text8), QStringLiteral("1999/01/01 "));
    QVERIFY(!QFile::exists(m_devices.resultFile()));
    // Nothing is sent on rejection; the next cycle opens the port afresh and discards input.
    const QStringList log = port.log();
    QCOMPARE(count(log, QStringLiteral("open")), 2);
    QCOMPARE(
        log.mid(log.lastIndexOf(QStringLiteral("open")), 2), (QStringList { "open", "clear" }));
    QCOMPARE(view.lamp, CaptureView::Lamp::Blue);
}

void TestCaptureLoop::shouldRejectRecordMissingAField()
{
    QFile old(m_devices.resultFile());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("previous\r\n");
    old.close();

    FakeSerialControl port;
    ScriptedView view(port);
    QString body = recordBody();
    body.replace(QStringLiteral(",\u001b004"), QStringLiteral(";\u001b004"));
    port.addReads({ "HEAD", body });
    CaptureLoop(port, view).run();

    QCOMPARE(view.commErrors, 1);
    QVERIFY(!view.portOpenAtCommError);
    QCOMPARE(view.fieldsAtCommError.value(CaptureView::Field::Text3), QString());
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("previous\r\n"));
}

void TestCaptureLoop::shouldEndOnlyWhenPortFoundClosedInAWait_data()
{
    QTest::addColumn<int>("breakAtPace");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<int>("opens");

    using P = EventPump::Pace;
    QTest::newRow("header wait") << int(P::UntilEvent) << 2 << false << 1;
    QTest::newRow("body wait") << int(P::CharacterTime) << 1 << false << 1;
    QTest::newRow("before extraction") << int(P::Once) << 1 << true << 2;
    QTest::newRow("after result file") << int(P::Once) << 2 << true << 2;
}

void TestCaptureLoop::shouldEndOnlyWhenPortFoundClosedInAWait()
{
    QFETCH(int, breakAtPace);
    QFETCH(int, occurrence);
    QFETCH(bool, recorded);
    QFETCH(int, opens);

    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads({ "HE", "AD", recordBody() });
    int seen = 0;
    view.onYield = [&](EventPump::Pace pace, int) {
        if (int(pace) == breakAtPace && ++seen == occurrence) {
            // What "Comm Break" leaves behind: the port closed.
            port.setPortOpen(true);
            port.setPortOpen(false);
            return true;
        }
        return false;
    };
    CaptureLoop(port, view).run();

    QCOMPARE(QFile::exists(m_devices.resultFile()), recorded);
    QCOMPARE(
        count(port.log(), QStringLiteral("open")) - (breakAtPace == int(EventPump::Pace::Once)),
        opens);
}

void TestCaptureLoop::shouldReportFatalWhenPortCannotOpen()
{
    FakeSerialControl port;
    ScriptedView view(port);
    port.failNextOpen(QStringLiteral("COM3 (/dev/ttyS2): No such file or directory"));
    CaptureLoop(port, view).run();

    QCOMPARE(view.fatals, QStringList { "COM3 (/dev/ttyS2): No such file or directory" });
    QVERIFY(port.writes().isEmpty());
}

void TestCaptureLoop::shouldReportFatalWhenResultFileCannotBeWritten()
{
    // A folder where the file should be: no file can replace it.
    QVERIFY(QDir().mkpath(m_devices.resultFile()));
    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads({ "HEAD", recordBody(), "HEAD" });
    CaptureLoop(port, view).run();
    QVERIFY(QDir().rmdir(m_devices.resultFile()));

    QCOMPARE(view.fatals.size(), 1);
    QVERIFY2(view.fatals.first().contains(QStringLiteral("Result.txt")),
        qPrintable(view.fatals.first()));
    // The loop ends with the failure: the next header is never read.
    QCOMPARE(port.pendingReads(), 1);
}

void TestCaptureLoop::shouldRefuseSecondLoopInsideYield()
{
    FakeSerialControl port;
    ScriptedView view(port);
    CaptureLoop loop(port, view);
    port.addReads({ "AB", "CD" });
    int nestedOpens = -1;
    view.onYield = [&](EventPump::Pace, int index) {
        if (index == 1) {
            const int before = count(port.log(), QStringLiteral("open"));
            loop.run();
            nestedOpens = count(port.log(), QStringLiteral("open")) - before;
        }
        return false;
    };
    loop.run();

    QCOMPARE(nestedOpens, 0);
    QCOMPARE(view.fields.value(CaptureView::Field::Text1), QStringLiteral("ABCD"));
    QVERIFY(!loop.isRunning());
}

void TestCaptureLoop::shouldEndAtNextYieldAfterStop()
{
    FakeSerialControl port;
    ScriptedView view(port);
    CaptureLoop loop(port, view);
    port.addReads({ "HEAD", recordBody(), "HE", "AD" });
    view.onYield = [&](EventPump::Pace pace, int) {
        if (pace == EventPump::Pace::Once)
            loop.stop();
        return true;
    };
    loop.run();

    // Stopped in the yield before extraction: nothing more is done, on the line or the disk.
    QVERIFY(!QFile::exists(m_devices.resultFile()));
    QCOMPARE(count(port.log(), QStringLiteral("open")), 1);
}

QTEST_GUILESS_MAIN(TestCaptureLoop)
#include "tst_captureloop.moc"
