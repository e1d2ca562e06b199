#include "captureloop.h"
#include "captureview.h"
#include "cp932encoder.h"
#include "fakeserialcontrol.h"
#include "linerules.h"
#include "precisealarm.h"
#include "recordjournal.h"
#include "scriptedview.h"
#include "tempdosdevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
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

// Another person in the same layout: whatever of this body reaches a record is told apart at once.
QString otherPersonBody()
{
    QString body = recordBody();
    body.replace(QStringLiteral("00123"), QStringLiteral("11111"));
    body.replace(QStringLiteral("見本氏名"), QStringLiteral("佐藤花子"));
    body.replace(QStringLiteral("S45.03.12"), QStringLiteral("H02.11.30"));
    return body;
}

int count(const QStringList& list, const QString& entry) { return int(list.count(entry)); }

// What the loop notes about each record, as a trace would show it.
class NotedOutcomes : public RecordJournal {
public:
    void recordWritten(const QByteArray& line) override
    {
        notes << QStringLiteral("written ") + QString::fromLatin1(line.left(8));
    }
    void recordRejected(QLatin1String rule, const QString& reason) override
    {
        notes << QStringLiteral("rejected ") + rule;
        reasons << reason;
    }
    void recordAborted(std::chrono::nanoseconds silence, int answers) override
    {
        notes << QStringLiteral("abort after %1 answers").arg(answers);
        abortSilence = silence;
    }
    void fatalError(const QString& message) override
    {
        notes << QStringLiteral("fatal ") + message;
    }

    QStringList notes;
    QStringList reasons;
    std::chrono::nanoseconds abortSilence { 0 };
};

// Scripts the line: "pause:N" is N milliseconds of silence, "quiet:N" N polls one character
// time apart that find nothing, "hex:4b8c" those bytes through the port's decoder,
// "reply:TEXT" the instrument's answer to the next ACK, on the line the moment the ACK leaves;
// anything else a read that returns that text.
void play(FakeSerialControl& port, const QStringList& script)
{
    for (const QString& step : script) {
        if (step.startsWith(QLatin1String("quiet:"))) {
            for (int i = step.mid(6).toInt(); i > 0; --i)
                port.addReads({ QString() });
        } else if (step.startsWith(QLatin1String("pause:"))) {
            port.addPause(std::chrono::milliseconds(step.mid(6).toInt()));
        } else if (step.startsWith(QLatin1String("reply:"))) {
            port.replyToNextWrite(step.mid(6));
        } else if (step.startsWith(QLatin1String("hex:"))) {
            port.addBytes({ QByteArray::fromHex(step.mid(4).toLatin1()) });
        } else {
            port.addReads({ step });
        }
    }
}

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
    void shouldGiveUpBodyCutOffBySilenceAndNeverMergeTwoPeople_data();
    void shouldGiveUpBodyCutOffBySilenceAndNeverMergeTwoPeople();
    void shouldRejectRecordMissingAField();
    void shouldNoteWhatBecameOfEachRecord_data();
    void shouldNoteWhatBecameOfEachRecord();
    void shouldEndOnlyWhenPortFoundClosedInAWait_data();
    void shouldEndOnlyWhenPortFoundClosedInAWait();
    void shouldReportFatalWhenPortCannotOpen();
    void shouldReportFatalWhenResultFileCannotBeWritten();
    void shouldAnswerNothingWhileResultFileCannotBeWritten_data();
    void shouldAnswerNothingWhileResultFileCannotBeWritten();
    void shouldRefuseSecondLoopInsideYield();
    void shouldEndAtNextYieldAfterStop();
    void shouldRestAboutOneCharacterTimeBetweenPolls_data();
    void shouldRestAboutOneCharacterTimeBetweenPolls();

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
    QTest::newRow("halves 400 ms apart make one header")
        << QStringList { "AB", "pause:400", "CD" } << QStringLiteral("ABCD");
    // What stands before a quiet line is dropped, and the next header is answered.
    QTest::newRow("noise byte at power-on")
        << QStringList { "hex:00", "pause:1000", "HEAD" } << QStringLiteral("HEAD");
    QTest::newRow("header sent twice in one read")
        << QStringList { "HEADHEAD", "pause:1000", "HE", "AD" } << QStringLiteral("HEAD");
    QTest::newRow("burst of noise")
        << QStringList { "hex:ff00ff1b2c1b", "x", "pause:800", "HEAD" } << QStringLiteral("HEAD");
    QTest::newRow("lone lead byte does not pair with the header")
        << QStringList { "hex:81", "pause:1000", "hex:31323334" } << QStringLiteral("1234");
    QTest::newRow("unfinished header before silence")
        << QStringList { "ABC", "pause:800", "HEAD" } << QStringLiteral("HEAD");
    // What cannot become a header gives way to the next send that comes as a burst of its own,
    // however soon: an instrument that re-sends every 0.5 s is answered.
    QTest::newRow("noise, then the header half a second later")
        << QStringList { "00", "pause:500", "R001" } << QStringLiteral("R001");
    QTest::newRow("copies queued during a stall, then the next send")
        << QStringList { "R001R001R001", "pause:500", "R0", "01" } << QStringLiteral("R001");
    QTest::newRow("half a header, then a whole one after a pause")
        << QStringList { "R0", "pause:300", "R001" } << QStringLiteral("R001");
    QTest::newRow("5-character burst after a pause is still no header")
        << QStringList { "AB", "pause:300", "CDEFG" } << QString();
    QTest::newRow("overrun, then more of it within a burst")
        << QStringList { "ABCDE", "pause:10", "FGHI" } << QString();
}

void TestCaptureLoop::shouldAcknowledgeOnlyExactFourCharacterHeader()
{
    QFETCH(QStringList, reads);
    QFETCH(QString, header);

    FakeSerialControl port;
    ScriptedView view(port);
    play(port, reads);
    CaptureLoop(port, view).run();

    QCOMPARE(port.inputLen(), 0);
    QCOMPARE(view.fields.value(CaptureView::Field::Text1), header);
    QCOMPARE(port.writes(), header.isEmpty() ? QStringList() : QStringList { ack });
    QCOMPARE(view.lamp, header.isEmpty() ? CaptureView::Lamp::Green : CaptureView::Lamp::Blue);
    QVERIFY(!view.openEnabled);
    if (!header.isEmpty()) {
        // What came before the ACK is discarded, what comes after it is the body's; the five
        // record fields are emptied.
        const QStringList log = port.log();
        const qsizetype write = log.indexOf(QStringLiteral("write:") + ack);
        QCOMPARE(log.at(write - 1), QStringLiteral("clear"));
        QVERIFY(log.mid(write).filter(QStringLiteral("clear")).isEmpty());
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
    QTest::addColumn<bool>("rejected");

    const QString body = recordBody();
    QTest::newRow("100 + 78") << QStringList { body.left(100), body.mid(100) } << 2 << true
                              << false;
    QTest::newRow("empty polls are acknowledged")
        << QStringList { "", body.left(100), "", "", body.mid(100) } << 5 << true << false;
    QTest::newRow("177 keeps waiting") << QStringList { body.left(177) } << 1 << false << false;
    QTest::newRow("body sent the moment the header's ACK arrives")
        << QStringList { "reply:" + body } << 1 << true << false;
    QTest::newRow("one character per poll")
        << body.split(QString(), Qt::SkipEmptyParts) << int(body.size()) << true << false;
    // The gender field stands past position 178. A record must not depend on whether the read
    // that completed the body happened to bring it along.
    const QString longBody = recordBody(118);
    QCOMPARE(longBody.size(), 200);
    QTest::newRow("170 + 30 keeps the first 178")
        << QStringList { longBody.left(170), longBody.mid(170) } << 2 << false << true;
    QTest::newRow("200 at once keeps the first 178")
        << QStringList { longBody } << 1 << false << true;
    // A header the instrument re-sent before our ACK reached it is no part of the body.
    QTest::newRow("re-sent header ahead of the body")
        << QStringList { "HEAD", body } << 2 << true << false;
    QTest::newRow("re-sent header twice, cut across reads")
        << QStringList { "HEADHE", "AD" + body.left(50), body.mid(50) } << 3 << true << false;
    QTest::newRow("anything else ahead of the ACK is damage")
        << QStringList { "HEAX", body } << 1 << false << true;
    QTest::newRow("ACK inside the body: another record began")
        << QStringList { body.left(90), body } << 1 << false << true;
    QTest::newRow("200 one character per poll")
        << longBody.left(178).split(QString(), Qt::SkipEmptyParts) << 178 << false << true;
}

void TestCaptureLoop::shouldAcknowledgeEveryBodyPollUntilMinimumLength()
{
    QFETCH(QStringList, bodyReads);
    QFETCH(int, acks);
    QFETCH(bool, recorded);
    QFETCH(bool, rejected);

    FakeSerialControl port;
    ScriptedView view(port);
    play(port, QStringList { "HEAD" } + bodyReads);
    CaptureLoop(port, view).run();

    QCOMPARE(port.writes().size(), 1 + acks);
    QCOMPARE(view.commErrors, rejected ? 1 : 0);
    QFile file(m_devices.resultFile());
    QCOMPARE(file.exists(), recorded);
    if (recorded) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), goodLine);
        QCOMPARE(view.lamp, CaptureView::Lamp::Green);
        QCOMPARE(view.fields.value(CaptureView::Field::Text2), QStringLiteral("ﾐﾎﾝ ﾀﾛｳ"));
        QCOMPARE(view.fields.value(CaptureView::Field::Text8), QStringLiteral("1970/03/12 "));
        // The last ACK is queued before the port closes, so the instrument receives it; only
        // unanswered reads of the quiet after the body stand between them.
        const QStringList log = port.log();
        const QStringList tail = log.mid(0, log.indexOf(QStringLiteral("close")));
        const qsizetype lastWrite = tail.lastIndexOf(QStringLiteral("write:") + ack);
        QVERIFY(lastWrite > 0);
        for (const QString& entry : tail.mid(lastWrite + 1))
            QVERIFY2(entry == QLatin1String("read:") || entry == QLatin1String("clear"),
                qPrintable(entry));
    }
}

void TestCaptureLoop::shouldTreatOnlyExactKAsAbort_data()
{
    // The body's characters before the K, sent in one read.
    QTest::addColumn<int>("before");
    QTest::addColumn<QStringList>("reads");
    // The ACKs that answer these reads. A lone K is not answered until it turns out to be data,
    // and then together with what followed it; empty polls meanwhile are answered as always.
    QTest::addColumn<int>("acks");
    // What the body holds from the K on, or null when the program ends.
    QTest::addColumn<QString>("kept");

    // At 51 the K and what settled it start the kana name (position 52), so the kana name
    // shows them; the record completes only if they were kept.
    // The program ends once the line has stayed silent through twenty answered polls.
    QTest::newRow("K then silence") << 51 << QStringList { "K", "quiet:21" } << 20 << QString();
    // A late poll leaves the instrument waiting for us: the silence counts again from there.
    QTest::newRow("K, two late polls, then silence")
        << 51 << QStringList { "K", "pause:10", "pause:15", "quiet:21" } << 21 << QString();
    QTest::newRow("K then a late poll, then the next character")
        << 51 << QStringList { "K", "pause:30", "x" } << 2 << QStringLiteral("Kx");
    QTest::newRow("K then the next character at once")
        << 51 << QStringList { "K", "x" } << 1 << QStringLiteral("Kx");
    QTest::newRow("K then the next character after a short gap")
        << 51 << QStringList { "K", "pause:15", "x" } << 2 << QStringLiteral("Kx");
    QTest::newRow("K then the first byte of a kanji")
        << 51 << QStringList { "hex:4b", "hex:8c", "hex:a9" } << 2 << QStringLiteral("K見");
    QTest::newRow("K and the first byte of a kanji in one read")
        << 51 << QStringList { "hex:4b8c", "pause:25", "hex:a9" } << 3 << QStringLiteral("K見");
    QTest::newRow("KK") << 51 << QStringList { "KK", "pause:25" } << 2 << QStringLiteral("KK");
    QTest::newRow("K with data") << 51 << QStringList { "K1", "pause:25" } << 2
                                 << QStringLiteral("K1");
    QTest::newRow("lower-case k") << 51 << QStringList { "k", "pause:25" } << 2
                                  << QStringLiteral("k");
    QTest::newRow("full-width K") << 51 << QStringList { "Ｋ", "pause:25" } << 2
                                  << QStringLiteral("Ｋ");
    QTest::newRow("K that completes the body")
        << 177 << QStringList { "K", "pause:25" } << 1 << QStringLiteral("K");
}

void TestCaptureLoop::shouldTreatOnlyExactKAsAbort()
{
    QFETCH(int, before);
    QFETCH(QStringList, reads);
    QFETCH(int, acks);
    QFETCH(QString, kept);

    const QString body = recordBody();
    const QString rest = kept.isNull() ? QString() : body.mid(before + kept.size());
    FakeSerialControl port;
    ScriptedView view(port);
    port.addReads({ "HEAD", body.left(before) });
    play(port, reads);
    if (!rest.isEmpty())
        port.addReads({ rest });
    CaptureLoop(port, view).run();

    QCOMPARE(view.aborts, kept.isNull() ? 1 : 0);
    // The header's and the first piece's ACKs, those for the reads, and one for the rest.
    QCOMPARE(port.writes().size(), 2 + acks + (rest.isEmpty() ? 0 : 1));
    if (kept.isNull()) {
        // The program ends on the silence, with the port as it stands and nothing after it.
        QVERIFY(port.log().last().startsWith(QLatin1String("read:")));
        QVERIFY(port.portOpen());
        return;
    }
    QCOMPARE(view.commErrors, 0);
    QVERIFY(QFile::exists(m_devices.resultFile()));
    if (before == 51) {
        QVERIFY2(view.fields.value(CaptureView::Field::Text2).startsWith(kept),
            qPrintable(view.fields.value(CaptureView::Field::Text2)));
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

void TestCaptureLoop::shouldGiveUpBodyCutOffBySilenceAndNeverMergeTwoPeople_data()
{
    // Person A's record as the line brought it; then, unless it completed, person B's whole.
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<bool>("cutOff");

    const QString a = otherPersonBody();
    // Polled once per character time, 800 empty polls are 0.83 s of silence.
    QTest::newRow("cut after 28 characters")
        << QStringList { "AAAA", a.left(28), "quiet:800" } << true;
    QTest::newRow("cut after 100 characters, every field in hand")
        << QStringList { "AAAA", a.left(100), "quiet:800" } << true;
    QTest::newRow("break mid-body: NULs, then silence")
        << QStringList { "AAAA", a.left(60), "hex:000000", "quiet:800" } << true;
    // Before the body's first character nothing can merge: a slow instrument is waited for.
    QTest::newRow("body starting 0.83 s after the header's ACK")
        << QStringList { "AAAA", "quiet:800", a } << false;
    QTest::newRow("half a second between pieces is still one record")
        << QStringList { "AAAA", a.left(60), "quiet:450", a.mid(60) } << false;
    // Nobody answered the instrument while the receiver stood still; the silence is ours.
    QTest::newRow("receiver stalled for a second mid-body")
        << QStringList { "AAAA", a.left(100), "pause:1000", a.mid(100) } << false;
    // Twenty answers take 21 ms; an instrument behind a USB adapter answers the first of them
    // 32 ms after it left.
    QTest::newRow("receiver stalled for 2 s mid-body, the rest after 30 answers")
        << QStringList { "AAAA", a.left(100), "pause:2000", "quiet:30", a.mid(100) } << false;
}

void TestCaptureLoop::shouldGiveUpBodyCutOffBySilenceAndNeverMergeTwoPeople()
{
    QFETCH(QStringList, first);
    QFETCH(bool, cutOff);

    FakeSerialControl port;
    ScriptedView view(port);
    play(port, first);
    if (cutOff)
        port.addReads({ "BBBB", recordBody() });
    CaptureLoop(port, view).run();

    QCOMPARE(view.commErrors, cutOff ? 1 : 0);
    QFile file(m_devices.resultFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray aLine
        = *Cp932Encoder::encode(QStringLiteral("\"11111 \",\"H02.11.30\",\"佐藤花子\",\"2\"\r\n"));
    QCOMPARE(file.readAll(), cutOff ? goodLine : aLine);
    if (!cutOff)
        return;
    // A's remains were dropped with the port closed, before B's header was read.
    QVERIFY(!view.portOpenAtCommError);
    QCOMPARE(view.fieldsAtCommError.value(CaptureView::Field::Text1), QStringLiteral("AAAA"));
    QCOMPARE(view.fieldsAtCommError.value(CaptureView::Field::Text3), QString());
    QCOMPARE(view.fields.value(CaptureView::Field::Text1), QStringLiteral("BBBB"));
    QCOMPARE(view.fields.value(CaptureView::Field::Text3), QStringLiteral("00123"));
    QCOMPARE(view.lamp, CaptureView::Lamp::Green);
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

void TestCaptureLoop::shouldNoteWhatBecameOfEachRecord_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("notes");
    // What the "please resend" box and the journal say about each refused record.
    QTest::addColumn<QStringList>("reasons");

    const QString body = recordBody();
    QString noMarker = body;
    noMarker.replace(QStringLiteral(",\u001b004"), QStringLiteral(";\u001b004"));
    QString quoted = body;
    quoted.replace(QStringLiteral("見本氏名"), QStringLiteral("見\"氏名"));
    QString unreadable = body;
    unreadable.replace(QStringLiteral("見本氏名"), QStringLiteral("見\uFFFD氏名"));
    QString shortDate = body;
    shortDate.replace(QStringLiteral("S45.03.12"), QStringLiteral("S45.03.1"));
    shortDate += QLatin1Char('.');
    QString controlGender = body;
    controlGender.replace(QStringLiteral("0052"), QStringLiteral("005\u0001"));
    QString unencodableGender = body;
    unencodableGender.replace(QStringLiteral("0052"), QStringLiteral("005\u00e9"));

    QTest::newRow("written") << QStringList { "HEAD", body } << QStringList { "written \"00123 \"" }
                             << QStringList {};
    QTest::newRow("body without its leading ACK")
        << QStringList { "HEAD", recordBody(0, QStringLiteral("\u0002")) }
        << QStringList { "rejected no-ack" } << QStringList { "先頭がACKではありません" };
    QTest::newRow("field marker missing")
        << QStringList { "HEAD", noMarker } << QStringList { "rejected missing-field" }
        << QStringList { "受信生年月日: 見つかりません" };
    // The gender's marker ends the body, so the gender itself is not in it.
    QTest::newRow("gender cut off by the body's end")
        << QStringList { "HEAD", recordBody(99) } << QStringList { "rejected malformed-field" }
        << QStringList { "受信性別: 1文字ではありません" };
    QTest::newRow("date of birth of 8 characters")
        << QStringList { "HEAD", shortDate } << QStringList { "rejected malformed-field" }
        << QStringList { "受信生年月日: 9文字ではありません" };
    QTest::newRow("control character as the gender")
        << QStringList { "HEAD", controlGender } << QStringList { "rejected malformed-field" }
        << QStringList { "受信性別: 制御文字を含みます" };
    QTest::newRow("double quote in the kanji name")
        << QStringList { "HEAD", quoted } << QStringList { "rejected malformed-field" }
        << QStringList { "受信漢字氏名: 二重引用符を含みます" };
    QTest::newRow("character the line could not read")
        << QStringList { "HEAD", unreadable } << QStringList { "rejected unencodable" }
        << QStringList { "受信漢字氏名: 使えない文字を含みます" };
    QTest::newRow("gender code page 932 has no code for")
        << QStringList { "HEAD", unencodableGender } << QStringList { "rejected unencodable" }
        << QStringList { "受信性別: 使えない文字を含みます" };
    QTest::newRow("body cut off by silence")
        << QStringList { "HEAD", body.left(100), "quiet:800", "HEAD", body }
        << QStringList { "rejected cut-off", "written \"00123 \"" }
        << QStringList { "途中で途切れました" };
    // Another record's header and body right behind a cut one: the two never make one line.
    QTest::newRow("next record inside a cut body")
        << QStringList { "HEAD", body.left(60), "HEAD", body, "pause:100", "HEAD", body }
        << QStringList { "rejected second-record", "written \"00123 \"" }
        << QStringList { "二人分のデータが混ざっています" };
    QTest::newRow("next record's header completing a cut body")
        << QStringList { "HEAD", body.left(174), "HEAD", body, "pause:100", "HEAD", body }
        << QStringList { "rejected second-record", "written \"00123 \"" }
        << QStringList { "二人分のデータが混ざっています" };
    QTest::newRow("lone K and silence")
        << QStringList { "HEAD", body.left(40), "K", "quiet:21" }
        << QStringList { "abort after 20 answers" } << QStringList {};
    QTest::newRow("port that cannot be opened")
        << QStringList { "fail-open:COM3 (/dev/ttyS2): No such file or directory" }
        << QStringList { "fatal COM3 (/dev/ttyS2): No such file or directory" } << QStringList {};
}

void TestCaptureLoop::shouldNoteWhatBecameOfEachRecord()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, notes);
    QFETCH(QStringList, reasons);

    FakeSerialControl port;
    ScriptedView view(port);
    NotedOutcomes journal;
    port.setJournal(&journal);
    if (reads.first().startsWith(QLatin1String("fail-open:")))
        port.failNextOpen(reads.takeFirst().mid(10));
    play(port, reads);
    CaptureLoop(port, view).run();

    QCOMPARE(journal.notes, notes);
    QCOMPARE(view.commErrorReasons, reasons);
    QCOMPARE(journal.reasons, reasons);
    if (view.aborts > 0)
        QVERIFY(journal.abortSilence >= LineRules::abortSilence);
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
    FakeSerialControl port;
    ScriptedView view(port);
    play(port, { "HEAD", recordBody(), "quiet:60", "HEAD" });
    // A folder put where the file should be once the header has been answered: the check
    // before the answer passed, and no file can replace the folder.
    view.onYield = [&](EventPump::Pace, int) {
        if (!port.writes().isEmpty() && !QFileInfo::exists(m_devices.resultFile()))
            QDir().mkpath(m_devices.resultFile());
        return false;
    };
    CaptureLoop(port, view).run();
    QVERIFY(QDir().rmdir(m_devices.resultFile()));

    QCOMPARE(view.resultFileErrors, QStringList());
    QCOMPARE(view.fatals.size(), 1);
    QVERIFY2(view.fatals.first().contains(QStringLiteral("Result.txt")),
        qPrintable(view.fatals.first()));
    // The loop ends with the failure: the next header is never read.
    QCOMPARE(port.log().count(QStringLiteral("read:HEAD")), 1);
    QCOMPARE(port.pendingReads() > 0, true);
}

void TestCaptureLoop::shouldAnswerNothingWhileResultFileCannotBeWritten_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("atOpen");
    QTest::addColumn<QString>("reason");

    for (const bool atOpen : { true, false }) {
        const char* when = atOpen ? "at Comm Open" : "when a header comes";
        const QString folderAtName = QStringLiteral("Result.txt is a folder");
#ifdef Q_OS_WIN
        // Drive C is the test's own Wine prefix's, and its root stays where it is.
        QTest::addRow("Result.txt is a folder %s", when)
            << folderAtName << atOpen << QStringLiteral("denied");
#else
        QTest::addRow("folder missing %s", when)
            << QStringLiteral("folder missing") << atOpen << QStringLiteral("No such file");
        QTest::addRow("folder is a file %s", when)
            << QStringLiteral("folder is a file") << atOpen << QStringLiteral("Not a directory");
        QTest::addRow("Result.txt is a folder %s", when)
            << folderAtName << atOpen << QStringLiteral("Is a directory");
#endif
    }
}

// The instrument forgets a record once it is answered: while the file cannot take its line,
// nothing is answered, capture stops as a break leaves it, and Comm Open starts it again once
// the folder is back.
void TestCaptureLoop::shouldAnswerNothingWhileResultFileCannotBeWritten()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, atOpen);
    QFETCH(QString, reason);

    const QString drive = m_devices.drive();
    const QString away = drive + QStringLiteral(".away");
    const auto block = [&] {
        if (obstacle == QLatin1String("Result.txt is a folder"))
            return QDir().mkdir(m_devices.resultFile());
        if (!QDir().rename(drive, away))
            return false;
        QFile file(drive);
        return obstacle == QLatin1String("folder missing") || file.open(QIODevice::WriteOnly);
    };
    const auto unblock = [&] {
        if (obstacle == QLatin1String("Result.txt is a folder"))
            return QDir().rmdir(m_devices.resultFile());
        QFile::remove(drive);
        return QDir().rename(away, drive);
    };

    FakeSerialControl port;
    ScriptedView view(port);
    play(port, { "HEAD", recordBody(), "quiet:60" });
    bool blocked = false;
    if (atOpen) {
        blocked = block();
    } else {
        view.onYield = [&](EventPump::Pace, int index) {
            if (index == 1)
                blocked = block();
            return false;
        };
    }
    CaptureLoop(port, view).run();
    QVERIFY(unblock());
    QVERIFY(blocked);

    QCOMPARE(port.writes(), QStringList());
    QCOMPARE(view.fatals, QStringList());
    QCOMPARE(view.commErrors, 0);
    QCOMPARE(view.resultFileErrors.size(), 1);
    const QString message = view.resultFileErrors.first();
    QVERIFY2(message.contains(QStringLiteral("C:\\Result.txt"))
            && message.contains(m_devices.resultFile())
            && message.contains(reason, Qt::CaseInsensitive),
        qPrintable(message));
    QVERIFY(!view.portOpenAtResultFileError);
    QCOMPARE(view.lampAtResultFileError, CaptureView::Lamp::Red);
    QVERIFY(view.openEnabledAtResultFileError);
    QCOMPARE(port.log().count(QStringLiteral("open")), atOpen ? 0 : 1);

    // The folder is back: the next Comm Open captures the record the instrument sends again.
    FakeSerialControl again;
    ScriptedView afterwards(again);
    play(again, { "HEAD", recordBody(), "quiet:60" });
    CaptureLoop(again, afterwards).run();
    QCOMPARE(afterwards.resultFileErrors, QStringList());
    QCOMPARE(again.writes().first(), ack);
    QFile file(m_devices.resultFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), goodLine);
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

void TestCaptureLoop::shouldRestAboutOneCharacterTimeBetweenPolls_data()
{
    QTest::addColumn<bool>("refuseHighResolution");

    QTest::newRow("high-resolution timer") << false;
    QTest::newRow("ordinary timer, as before Windows 10 1803") << true;
}

void TestCaptureLoop::shouldRestAboutOneCharacterTimeBetweenPolls()
{
    QFETCH(bool, refuseHighResolution);
    using namespace std::chrono;

    PreciseAlarm::refuseHighResolutionForTests(refuseHighResolution);
    EventPump pump;
    PreciseAlarm::refuseHighResolutionForTests(false);

    // The first paced poll has no earlier one to keep its distance from.
    constexpr int rests = 20;
    const auto start = steady_clock::now();
    for (int poll = 0; poll <= rests; ++poll)
        pump.yield(EventPump::Pace::CharacterTime);
    const auto took = steady_clock::now() - start;
    const QByteArray tookMs = QByteArray::number(duration<double, std::milli>(took).count());

    // Never faster than the line delivers...
    QVERIFY2(took >= rests * EventPump::characterTime, tookMs);
    // ...and not held to the system's default 15.6 ms tick either, on which these rests take
    // about 310 ms. A timer as fine as a millisecond needs about 21 to 40 ms; the bound leaves
    // a loaded machine (two cores shared with builds) room for a late wake-up on every rest.
    QVERIFY2(took < milliseconds(150), tookMs);
}

QTEST_GUILESS_MAIN(TestCaptureLoop)
#include "tst_captureloop.moc"
