#include "captureloop.h"
#include "captureview.h"
#include "dosdevices.h"
#include "eventpump.h"
#include "linerules.h"
#include "ptypair.h"
#include "qtserialcontrol.h"
#include "tempdosdevices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <functional>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Polls the port the way the capture loop does, until `count` characters have come or the
// deadline passes.
QString readCharacters(SerialControl& port, int count)
{
    QString text;
    QDeadlineTimer deadline(5000);
    while (text.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        text += port.input();
    }
    return text;
}

QByteArray readBytes(PtyPair& pty, int count)
{
    QByteArray bytes;
    QDeadlineTimer deadline(5000);
    while (bytes.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        bytes += pty.readAvailable();
    }
    return bytes;
}

// The window's part for a capture loop on a real line: the real event pump, and a hook per
// yield through which the test plays the instrument on the master side.
class PtyView : public CaptureView {
public:
    void setField(Field field, const QString& text) override { fields[field] = text; }
    QString resultPath() const override { return QStringLiteral("C:\\Result.txt"); }
    void setLamp(Lamp) override { }
    void setOpenEnabled(bool) override { }
    void showCommError(const QString&) override { ++commErrors; }
    void showResultFileError(const QString& message) override { fatals << message; }
    // The hook plays what happens on the line during the yield; when it stops the loop
    // itself, nothing is left to wait for.
    void yieldToEvents(EventPump::Pace pace) override
    {
        if (!onYield(pace))
            pump.yield(pace);
    }
    void fatal(const QString& message) override { fatals << message; }
    void abortProgram() override { }

    EventPump pump;
    std::function<bool(EventPump::Pace)> onYield;
    QMap<Field, QString> fields;
    QStringList fatals;
    int commErrors { 0 };
};

}

class TestQtSerialControl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void shouldOpenCom3ThroughLinkAndExchangeBytes();
    void shouldJoinKanjiSplitBetweenWrites();
    void shouldDropHalfCharacterWhenInputIsDiscarded_data();
    void shouldDropHalfCharacterWhenInputIsDiscarded();
    void shouldSendQueuedAckBeforeClosing();
    void shouldRaiseTransmitBufferFullInsteadOfQueuing();
    void shouldReportOpenFailureWithPortAndReason_data();
    void shouldReportOpenFailureWithPortAndReason();
    void shouldReportVanishedDeviceOnce_data();
    void shouldReportVanishedDeviceOnce();
    void shouldSayThatPulledAdapterIsGone_data();
    void shouldSayThatPulledAdapterIsGone();
    void shouldCaptureRecordAndReopenForNextOne_data();
    void shouldCaptureRecordAndReopenForNextOne();

private:
    TempDosDevices m_devices;
    bool openAsCom3(PtyPair& pty, QtSerialControl& port) const
    {
        port.setCommPort(3);
        return pty.linkAsPort(m_devices.folder(), 3) && port.setPortOpen(true);
    }
};

void TestQtSerialControl::initTestCase() { QVERIFY(m_devices.isValid()); }

void TestQtSerialControl::shouldOpenCom3ThroughLinkAndExchangeBytes()
{
    PtyPair pty;
    QVERIFY(pty.isValid() && pty.linkAsPort(m_devices.folder(), 3));
    QtSerialControl port;
    port.setCommPort(3);
    port.setInputLen(0);
    QVERIFY2(port.setPortOpen(true), qPrintable(port.errorString()));
    QVERIFY(port.setPortOpen(true));
    QVERIFY(port.portOpen());

    QVERIFY(pty.write("HE"));
    QVERIFY(pty.write("AD"));
    QCOMPARE(readCharacters(port, 4), QStringLiteral("HEAD"));
    QVERIFY(port.output(QStringLiteral("\u0006")));
    QCOMPARE(readBytes(pty, 1), QByteArray("\x06"));

    QVERIFY(port.setPortOpen(false));
    QVERIFY(port.setPortOpen(false));
    QVERIFY(!port.portOpen());
    QVERIFY(port.setBreak(true));
    QVERIFY(port.setPortOpen(true));
    QVERIFY(port.setBreak(true));
    QVERIFY(port.setPortOpen(false));
}

void TestQtSerialControl::shouldJoinKanjiSplitBetweenWrites()
{
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));

    QVERIFY(pty.write("A\x8c"));
    QCOMPARE(readCharacters(port, 1), QStringLiteral("A"));
    QVERIFY(port.holdsPartialCharacter());
    // The line's silence counts from the read that took the held byte.
    QVERIFY(port.silentFor() < std::chrono::seconds(1));
    QTRY_VERIFY(port.silentFor() >= std::chrono::milliseconds(50));
    QVERIFY(pty.write("\xa9"
                      "B"));
    QCOMPARE(readCharacters(port, 2), QStringLiteral("見B"));
    QVERIFY(!port.holdsPartialCharacter());
    QVERIFY(port.silentFor() < std::chrono::milliseconds(50));
}

void TestQtSerialControl::shouldDropHalfCharacterWhenInputIsDiscarded_data()
{
    QTest::addColumn<bool>("discardAll");
    QTest::newRow("input discarded") << true;
    QTest::newRow("held byte forgotten") << false;
}

void TestQtSerialControl::shouldDropHalfCharacterWhenInputIsDiscarded()
{
    QFETCH(bool, discardAll);
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));

    QVERIFY(pty.write("A\x8c"));
    QCOMPARE(readCharacters(port, 1), QStringLiteral("A"));
    if (discardAll)
        port.clearInBuffer();
    else
        port.forgetPartialCharacter();
    // Alone, 0xA9 is a half-width katakana; joined to the dropped lead byte it would be 見.
    QVERIFY(pty.write("\xa9"));
    QCOMPARE(readCharacters(port, 1), QStringLiteral("ｩ"));
}

void TestQtSerialControl::shouldSendQueuedAckBeforeClosing()
{
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));
    QVERIFY(port.output(QStringLiteral("\u0006")));
    QVERIFY(port.setPortOpen(false));
    QCOMPARE(readBytes(pty, 1), QByteArray("\x06"));
}

void TestQtSerialControl::shouldRaiseTransmitBufferFullInsteadOfQueuing()
{
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));
    QSignalSpy events(&port, &SerialControl::onComm);

    // The line takes nothing while its output is stopped, so the queue fills.
    QVERIFY(pty.stopReceiverOutput(true));
    for (int i = 0; i < 600; ++i)
        QVERIFY(port.output(QStringLiteral("\u0006")));
    QCOMPARE(events.size(), 600 - SerialControl::transmitBufferSize);
    QCOMPARE(port.commEvent(), SerialControl::eventTransmitBufferFull);
    // What was queued leaves once the line takes it again, at the latest as the port closes.
    QVERIFY(pty.stopReceiverOutput(false));
    QVERIFY(port.setPortOpen(false));
    QCOMPARE(readBytes(pty, SerialControl::transmitBufferSize),
        QByteArray(SerialControl::transmitBufferSize, '\x06'));
}

void TestQtSerialControl::shouldReportOpenFailureWithPortAndReason_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("reasons");

    QTest::newRow("device missing") << "missing" << QStringList { "No such file or directory" };
    // The message says whose lock keeps the port.
    QTest::newRow("device in use") << "held" << QStringList { "lock file", "belongs to" };
    // A reccap that was killed leaves the line in exclusive use as long as its other end stays
    // open: nobody but root may open it then.
    QTest::newRow("device left in exclusive use")
        << "exclusive" << QStringList { "busy", "exclusive use", "fuser -v" };
}

void TestQtSerialControl::shouldReportOpenFailureWithPortAndReason()
{
    QFETCH(QString, device);
    QFETCH(QStringList, reasons);

    PtyPair pty;
    QtSerialControl holder;
    const QString link = m_devices.folder() + QStringLiteral("/com3");
    QFile::remove(link);
    if (device == QLatin1String("missing")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/reccap-no-such-tty"), link));
    } else if (device == QLatin1String("held")) {
        QVERIFY(pty.linkAsPort(m_devices.folder(), 3));
        holder.setCommPort(3);
        QVERIFY(holder.setPortOpen(true));
    } else {
        if (::geteuid() == 0)
            QSKIP("Root opens a line in exclusive use all the same");
        QVERIFY(pty.linkAsPort(m_devices.folder(), 3));
        const int line = ::open(QFile::encodeName(pty.slavePath()).constData(),
            O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(line >= 0);
        QCOMPARE(::ioctl(line, TIOCEXCL), 0);
        ::close(line);
    }

    QtSerialControl port;
    port.setCommPort(3);
    QVERIFY(!port.setPortOpen(true));
    QVERIFY(!port.portOpen());
    const QString message = port.errorString();
    QVERIFY2(message.contains(QStringLiteral("COM3")), qPrintable(message));
    QVERIFY2(message.contains(device == QLatin1String("missing")
                     ? QStringLiteral("/dev/reccap-no-such-tty")
                     : pty.slavePath()),
        qPrintable(message));
    for (const QString& reason : reasons)
        QVERIFY2(message.contains(reason), qPrintable(message));
}

void TestQtSerialControl::shouldReportVanishedDeviceOnce_data()
{
    QTest::addColumn<bool>("wakes");
    QTest::newRow("waiting for a header") << true;
    // Nothing wakes the loop for the line then: it learns of the loss at its next poll.
    QTest::newRow("polling a body at the line's pace") << false;
}

void TestQtSerialControl::shouldReportVanishedDeviceOnce()
{
    QFETCH(bool, wakes);
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));
    port.setWakeOnInput(wakes);
    QSignalSpy failures(&port, &SerialControl::failed);

    pty.closeMaster();
    const QDeadlineTimer deadline(5000);
    while (failures.isEmpty() && !deadline.hasExpired()) {
        if (!wakes) {
            port.input();
            port.output(QStringLiteral("\u0006"));
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QVERIFY(!failures.isEmpty());
    QVERIFY(!port.portOpen());
    QCoreApplication::processEvents();
    QCOMPARE(failures.size(), 1);
    const QString message = failures.first().first().toString();
    QVERIFY2(message.contains(QStringLiteral("COM3")) && message.contains(pty.slavePath()),
        qPrintable(message));
}

void TestQtSerialControl::shouldSayThatPulledAdapterIsGone_data()
{
    // Where the program meets the loss: the system's words for it there ("Input/output
    // error", "No such file or directory") would send the operator looking for a missing link.
    QTest::addColumn<QString>("meets");
    QTest::newRow("header wait") << "read";
    QTest::newRow("polling a body") << "poll";
    QTest::newRow("Comm Break on the open port") << "break";
    QTest::newRow("opening again, for the break or the next record") << "reopen";
}

void TestQtSerialControl::shouldSayThatPulledAdapterIsGone()
{
    QFETCH(QString, meets);
    PtyPair pty;
    QtSerialControl port;
    QVERIFY(openAsCom3(pty, port));
    if (meets == QLatin1String("reopen"))
        QVERIFY(port.setPortOpen(false));
    port.setWakeOnInput(meets == QLatin1String("read"));
    QSignalSpy failures(&port, &SerialControl::failed);

    pty.closeMaster();
    QVERIFY(!QFile::exists(pty.slavePath()));
    if (meets == QLatin1String("break")) {
        QVERIFY(!port.setBreak(true));
    } else if (meets == QLatin1String("reopen")) {
        QVERIFY(!port.setPortOpen(true));
    } else {
        const QDeadlineTimer deadline(5000);
        while (failures.isEmpty() && !deadline.hasExpired()) {
            if (meets == QLatin1String("poll")) {
                port.input();
                port.output(QStringLiteral("\u0006"));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        QVERIFY(!failures.isEmpty());
    }
    QVERIFY(!port.portOpen());
    const QString message = port.errorString();
    QVERIFY2(message.startsWith(QStringLiteral("Lost COM3 (") + pty.slavePath() + u')')
            && message.contains(QStringLiteral("the device is gone")),
        qPrintable(message));
    // The failure was reported once, wherever it came from: a signal while capturing or the
    // failed call's own answer.
    QCOMPARE(failures.size(), meets == QLatin1String("reopen") ? 0 : 1);
}

void TestQtSerialControl::shouldCaptureRecordAndReopenForNextOne_data()
{
    // What the line carries before the header; the header then follows a second of silence.
    QTest::addColumn<QByteArray>("noise");
    QTest::newRow("clean line") << QByteArray();
    QTest::newRow("noise byte at power-on") << QByteArray("\xff");
    QTest::newRow("header sent twice") << QByteArray("RCV1RCV1");
    QTest::newRow("lone lead byte") << QByteArray("\x81");
}

void TestQtSerialControl::shouldCaptureRecordAndReopenForNextOne()
{
    QFETCH(QByteArray, noise);
    PtyPair pty;
    QVERIFY(pty.linkAsPort(m_devices.folder(), 3));
    QFile::remove(m_devices.resultFile());

    QByteArray body("\x06");
    body += QByteArray(22, '.') + "00042";
    for (const QByteArray& field :
        { QByteArray("001F1"), QByteArray("002\x8c\xa9\x96\x7b\x8e\x81\x96\xbc"),
            QByteArray("003\xd0\xce\xdd \xc0\xdb\xb3 "), QByteArray("004S45.03.12"),
            QByteArray("0051") })
        body += ",\x1b" + field + "\x1b";
    body += QByteArray(120, '.');
    // Cut in the middle of 見 (0x8C 0xA9).
    const QList<QByteArray> pieces { body.left(42), body.mid(42, 60), body.mid(102) };
    QVERIFY(pieces[0].endsWith('\x8c'));

    QtSerialControl port;
    port.setCommPort(3);
    PtyView view;
    CaptureLoop loop(port, view);
    int headerPolls = 0;
    int bodyPolls = 0;
    int piecesSent = 0;
    bool reopened = false;
    QByteArray fromProgram;
    view.onYield = [&](EventPump::Pace pace) {
        fromProgram += pty.readAvailable();
        if (pace == EventPump::Pace::UntilEvent && port.portOpen()) {
            const auto sendHeader = [&pty] {
                pty.write("RC");
                pty.write("V1");
            };
            if (++headerPolls == 1) {
                if (noise.isEmpty()) {
                    sendHeader();
                } else {
                    pty.write(noise);
                    QTimer::singleShot(1000, &port, sendHeader);
                }
            } else if (piecesSent == pieces.size()) {
                // The next cycle's header wait: the port was closed after the body and is open
                // again. Stop here, as "Comm Break" would.
                reopened = true;
                port.setPortOpen(false);
                return true;
            }
        } else if (pace == EventPump::Pace::CharacterTime && port.portOpen()) {
            ++bodyPolls;
            if (bodyPolls % 3 == 1 && piecesSent < pieces.size())
                pty.write(pieces[piecesSent++]);
        }
        return false;
    };
    // A header that is never answered would leave the loop asleep for good; stop it as
    // "Comm Break" would, so the test fails instead of hanging.
    QTimer::singleShot(15000, &port, [&port] { port.setPortOpen(false); });
    loop.run();
    fromProgram += pty.readAvailable();

    QVERIFY(view.fatals.isEmpty());
    QCOMPARE(view.commErrors, 0);
    QVERIFY(reopened);
    QCOMPARE(view.fields.value(CaptureView::Field::Text1), QStringLiteral("RCV1"));
    QCOMPARE(view.fields.value(CaptureView::Field::Text7), QStringLiteral("見本氏名"));
    QCOMPARE(view.fields.value(CaptureView::Field::Text2), QStringLiteral("ﾐﾎﾝ ﾀﾛｳ"));
    // Every poll of the body wait is answered; the quiet watched after a complete body, a few
    // dozen polls, is not.
    QCOMPARE(fromProgram, QByteArray(fromProgram.size(), '\x06'));
    const int unanswered = 1 + bodyPolls - int(fromProgram.size());
    QVERIFY2(
        unanswered >= LineRules::recordEndPolls && unanswered <= LineRules::recordEndPolls + 32,
        qPrintable(QString::number(unanswered)));
    QFile result(m_devices.resultFile());
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(),
        QByteArray("\"00042 \",\"S45.03.12\",\"\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\",\"1\"\r\n"));
}

QTEST_GUILESS_MAIN(TestQtSerialControl)
#include "tst_qtserialcontrol.moc"
