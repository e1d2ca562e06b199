#include "cp932decoder.h"
#include "cp932encoder.h"
#include "linetrace.h"
#include "recordbody.h"
#include "replayplan.h"
#include "tracereader.h"
#include "transmission.h"

#include <QBuffer>
#include <QTemporaryDir>

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr QChar ack(0x06);
constexpr QChar esc(0x1B);

// The receiver's cutting rules, written out again from the record layout rather than taken
// from the builder, so that a builder that puts a field one place off is caught.
struct ReceiverCut {
    int markerCount { 0 };
    QString id;
    QString kanji;
    QString kana;
    QString dateOfBirth;
    QString gender;
};

QString substring(const QString& text, int position, int count)
{
    return text.mid(position - 1, count);
}

ReceiverCut cutAsReceiver(const QString& body)
{
    ReceiverCut cut;
    int start[8] = {};
    int end[8] = {};
    for (int i = 3; i <= body.size(); ++i) {
        if (body.at(i - 1) != esc || body.at(i - 2) != QLatin1Char(','))
            continue;
        ++cut.markerCount;
        if (cut.markerCount > 7)
            continue;
        start[cut.markerCount] = i;
        const qsizetype next = body.indexOf(esc, i);
        if (next >= 0)
            end[cut.markerCount] = int(next) + 1;
    }
    cut.id = substring(body, 24, 5);
    cut.kanji = substring(body, start[2] + 4, end[3] - start[2]).section(esc, 0, 0);
    const QString kanaWindow = substring(body, start[3] + 4, end[3]);
    cut.kana = kanaWindow.section(QLatin1Char(' '), 0, 1);
    cut.dateOfBirth = substring(body, start[4] + 4, 9);
    cut.gender = substring(body, start[5] + 4, 1);
    return cut;
}

// Plays the receiver on the slave: discard on opening, wait for exactly four characters,
// answer ACK, then ACK every poll until the body is long enough, discard, close.
class PollingReceiver {
public:
    struct Record {
        QByteArray header;
        QString body;
        int bodyAcks { 0 };
        int dataReads { 0 };
    };

    ~PollingReceiver() { close(); }

    bool open(const QString& path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios modes {};
        ::tcgetattr(m_fd, &modes);
        ::cfmakeraw(&modes);
        ::tcsetattr(m_fd, TCSANOW, &modes);
        ::tcflush(m_fd, TCIFLUSH);
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // `discardAfterAck`: discard once more after answering the header, as receivers before
    // reccap 1.00 did; reccap itself discards only before the answer.
    std::optional<Record> receive(QDeadlineTimer deadline, bool discardAfterAck = true)
    {
        Record record;
        while (record.header.size() != 4) {
            if (deadline.hasExpired())
                return std::nullopt;
            record.header += poll();
        }
        ::tcflush(m_fd, TCIFLUSH);
        if (!sendAck())
            return std::nullopt;
        if (discardAfterAck)
            ::tcflush(m_fd, TCIFLUSH);

        Cp932Decoder decoder;
        while (record.body.size() < RecordBody::receiverMinimumLength) {
            if (deadline.hasExpired())
                return std::nullopt;
            const QByteArray chunk = poll();
            if (!chunk.isEmpty())
                ++record.dataReads;
            record.body += decoder.decode(chunk);
            if (!sendAck())
                return std::nullopt;
            ++record.bodyAcks;
        }
        ::tcflush(m_fd, TCIFLUSH);
        close();
        return record;
    }

private:
    QByteArray poll()
    {
        pollfd fd { m_fd, POLLIN, 0 };
        ::poll(&fd, 1, 1);
        char buffer[1024];
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        return got > 0 ? QByteArray(buffer, got) : QByteArray();
    }

    bool sendAck()
    {
        const char byte = 0x06;
        return ::write(m_fd, &byte, 1) == 1;
    }

    int m_fd { -1 };
};

struct SimRecordLine {
    int acks { -1 };
    int headerSends { -1 };
    QString result;
};

QList<SimRecordLine> recordLines(const QStringList& output)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(^record \d+: header-ack=1 acks=(\d+) header-sends=(\d+) other=0 result=(\w+)$)"));
    QList<SimRecordLine> lines;
    for (const QString& line : output) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            lines.append(
                { match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3) });
    }
    return lines;
}

// The sim's next output line that starts with prefix; every line read goes to output.
QString nextLine(QProcess& sim, QStringList& output, const QString& prefix)
{
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (!sim.canReadLine()) {
            sim.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            continue;
        }
        output.append(QString::fromUtf8(sim.readLine()).trimmed());
        if (output.constLast().startsWith(prefix))
            return output.constLast();
    }
    return {};
}

// A trace written the way reccap writes one, by the trace writer itself, from the steps given:
// "open", "close", "clear", "forget", "ack", "rx:HEX" (a read; "rx:HEX:held" ends on a held
// byte), "written:TEXT", "rejected:RULE", "abort", "pause:MS".
// Runs instrument-sim --replay on `path` and expects it to refuse with status 2 and `message`,
// before the line exists. Its address space is limited, so that a replay that reads on without
// end fails in the sim instead of taking the machine's memory.
void expectReplayRefused(const QString& path, const QStringList& arguments, const QString& message)
{
    QProcess sim;
#ifndef __SANITIZE_ADDRESS__
    // (AddressSanitizer reserves far more address space than that for its own bookkeeping.)
    sim.setChildProcessModifier([] {
        const rlimit limit { 1024L * 1024 * 1024, 1024L * 1024 * 1024 };
        ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    sim.start(QStringLiteral(INSTRUMENT_SIM_PATH),
        QStringList { QStringLiteral("--print-slave"), QStringLiteral("--replay"), path }
            + arguments);
    QVERIFY(sim.waitForFinished(15000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    const QString errors = QString::fromUtf8(sim.readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    // Refused before the line existed.
    QVERIFY(!sim.readAllStandardOutput().contains("slave: "));
}

QByteArray traceOf(const QStringList& steps)
{
    QByteArray contents;
    {
        auto device = std::make_unique<QBuffer>(&contents);
        device->open(QIODevice::WriteOnly);
        LineTrace trace(std::move(device), QStringLiteral("test"), QStringLiteral("1.00"));
        trace.portOpening();
        for (const QString& step : steps) {
            const QStringList parts = step.split(u':');
            if (step == QLatin1String("open"))
                trace.portOpened();
            else if (step == QLatin1String("close"))
                trace.portClosed();
            else if (step == QLatin1String("clear"))
                trace.inputCleared();
            else if (step == QLatin1String("forget"))
                trace.partialForgotten();
            else if (step == QLatin1String("ack"))
                trace.sent(QString(ack));
            else if (step == QLatin1String("abort"))
                trace.recordAborted(std::chrono::milliseconds(22), 20);
            else if (parts.first() == QLatin1String("rx"))
                trace.received(Cp932Decoder().decode(QByteArray::fromHex(parts.at(1).toLatin1())),
                    parts.size() > 2);
            else if (parts.first() == QLatin1String("written"))
                trace.recordWritten(Cp932Encoder::encode(parts.at(1)).value_or(QByteArray()));
            else if (parts.first() == QLatin1String("rejected"))
                trace.recordRejected(QLatin1String(parts.at(1).toLatin1()));
            else if (parts.first() == QLatin1String("pause"))
                QTest::qSleep(parts.at(1).toInt());
        }
    }
    return contents;
}

TraceReader::Session sessionOf(const QByteArray& trace)
{
    QString error;
    const std::optional<QList<TraceReader::Session>> sessions = TraceReader::parse(trace, &error);
    if (!sessions || sessions->size() != 1)
        qFatal("the test's trace does not read back: %s", qPrintable(error));
    return sessions->constFirst();
}

// Waits, without taking anything in, until the slave holds that many unread bytes.
bool waitForPendingInput(const QString& slave, int bytes, QDeadlineTimer deadline)
{
    const int fd = ::open(QFile::encodeName(slave).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int pending = 0;
    while (pending < bytes && !deadline.hasExpired()) {
        pollfd readable { fd, POLLIN, 0 };
        ::poll(&readable, 1, 10);
        ::ioctl(fd, FIONREAD, &pending);
    }
    ::close(fd);
    return pending >= bytes;
}

}

class TestInstrumentSim : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shouldPutEveryFieldWhereTheReceiverCutsIt_data();
    void shouldPutEveryFieldWhereTheReceiverCutsIt();
    void shouldRefuseFieldsThatWouldShiftTheLayout_data();
    void shouldRefuseFieldsThatWouldShiftTheLayout();
    void shouldCountPiecesInCharactersAsTheReceiverDecodes_data();
    void shouldCountPiecesInCharactersAsTheReceiverDecodes();
    void shouldDeliverRecordsToAReceiverThatClosesBetweenThem_data();
    void shouldDeliverRecordsToAReceiverThatClosesBetweenThem();
    void shouldPlanTheInstrumentsSideOfATrace_data();
    void shouldPlanTheInstrumentsSideOfATrace();
    void shouldRefuseWhatItCannotReplay_data();
    void shouldRefuseWhatItCannotReplay();
    void shouldRefuseAReplayFileThatIsNoPlainFile_data();
    void shouldRefuseAReplayFileThatIsNoPlainFile();
    void shouldReplayATraceAndSayWhereTheReceiverDiffers_data();
    void shouldReplayATraceAndSayWhereTheReceiverDiffers();
};

void TestInstrumentSim::shouldPutEveryFieldWhereTheReceiverCutsIt_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("kanji");
    QTest::addColumn<QString>("kana");
    QTest::addColumn<QString>("filler");
    QTest::addColumn<int>("minimumLength");
    QTest::addColumn<QString>("expectedId");
    QTest::addColumn<QString>("expectedKana");

    const RecordFields defaults;
    QTest::newRow("defaults") << defaults.id << defaults.kanjiName << defaults.kanaName
                              << defaults.filler << 178 << QStringLiteral("12345")
                              << defaults.kanaName;
    QTest::newRow("short ID is right-aligned with spaces")
        << QStringLiteral("123") << defaults.kanjiName << defaults.kanaName << defaults.filler
        << 178 << QStringLiteral("  123") << defaults.kanaName;
    QTest::newRow("kana without a space keeps one trailing space")
        << defaults.id << defaults.kanjiName << QStringLiteral("ﾀﾛｳ") << defaults.filler << 178
        << QStringLiteral("12345") << QStringLiteral("ﾀﾛｳ ");
    QTest::newRow("space filler cannot end the kana early")
        << defaults.id << QStringLiteral("鈴木 花子") << QStringLiteral("ｽｽﾞｷ ﾊﾅｺ")
        << QStringLiteral(" ") << 178 << QStringLiteral("12345") << QStringLiteral("ｽｽﾞｷ ﾊﾅｺ");
    QTest::newRow("double-byte filler counts one per character")
        << defaults.id << defaults.kanjiName << defaults.kanaName << QStringLiteral("〇") << 178
        << QStringLiteral("12345") << defaults.kanaName;
    QTest::newRow("one short of the receiver's minimum")
        << defaults.id << defaults.kanjiName << defaults.kanaName << defaults.filler << 177
        << QStringLiteral("12345") << defaults.kanaName;
    QTest::newRow("longer body") << defaults.id << QStringLiteral("長谷川左衛門次郎")
                                 << defaults.kanaName << QStringLiteral("ab") << 200
                                 << QStringLiteral("12345") << defaults.kanaName;
}

void TestInstrumentSim::shouldPutEveryFieldWhereTheReceiverCutsIt()
{
    QFETCH(QString, id);
    QFETCH(QString, kanji);
    QFETCH(QString, kana);
    QFETCH(QString, filler);
    QFETCH(int, minimumLength);
    QFETCH(QString, expectedId);
    QFETCH(QString, expectedKana);

    RecordFields fields;
    fields.id = id;
    fields.kanjiName = kanji;
    fields.kanaName = kana;
    fields.filler = filler;
    fields.minimumLength = minimumLength;
    fields.dateOfBirth = QStringLiteral("H 1. 2. 3");
    fields.gender = QStringLiteral("2");
    const RecordBody body = RecordBody::build(fields);
    QVERIFY2(body.isValid(), qPrintable(body.errorString()));

    // The receiver counts what it decodes from the line, not what we meant to send.
    Cp932Decoder decoder;
    const QString received = decoder.decode(body.bytes());
    QCOMPARE(received, body.text());
    QCOMPARE(received.size(), minimumLength);
    QCOMPARE(received.at(0), ack);

    const ReceiverCut cut = cutAsReceiver(received);
    QCOMPARE(cut.markerCount, RecordBody::fieldCount);
    QCOMPARE(cut.id, expectedId);
    QCOMPARE(cut.kanji, kanji);
    QCOMPARE(cut.kana, expectedKana);
    QCOMPARE(cut.dateOfBirth, fields.dateOfBirth);
    QCOMPARE(cut.gender, fields.gender);
}

void TestInstrumentSim::shouldRefuseFieldsThatWouldShiftTheLayout_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("named");

    QTest::newRow("ESC in the kanji name")
        << QStringLiteral("kanji") << QStringLiteral("山田\x1b太郎")
        << QStringLiteral("kanji name");
    QTest::newRow("kanji name ending in a comma")
        << QStringLiteral("kanji") << QStringLiteral("山田,") << QStringLiteral("kanji name");
    QTest::newRow("kanji name outside code page 932")
        << QStringLiteral("kanji") << QStringLiteral("山田é") << QStringLiteral("kanji name");
    QTest::newRow("kana with two spaces")
        << QStringLiteral("kana") << QStringLiteral("ﾔﾏﾀﾞ ﾀ ﾛｳ") << QStringLiteral("kana name");
    QTest::newRow("date of birth of 8 characters")
        << QStringLiteral("dob") << QStringLiteral("S45.3.12") << QStringLiteral("date of birth");
    QTest::newRow("empty gender") << QStringLiteral("gender") << QString()
                                  << QStringLiteral("gender");
    QTest::newRow("six-character ID")
        << QStringLiteral("id") << QStringLiteral("123456") << QStringLiteral("ID");
    QTest::newRow("filler with a comma")
        << QStringLiteral("filler") << QStringLiteral("0,") << QStringLiteral("filler");
}

void TestInstrumentSim::shouldRefuseFieldsThatWouldShiftTheLayout()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QString, named);

    RecordFields fields;
    QString* const targets[] = { &fields.kanjiName, &fields.kanaName, &fields.dateOfBirth,
        &fields.gender, &fields.id, &fields.filler };
    const QStringList names { QStringLiteral("kanji"), QStringLiteral("kana"),
        QStringLiteral("dob"), QStringLiteral("gender"), QStringLiteral("id"),
        QStringLiteral("filler") };
    *targets[names.indexOf(field)] = value;

    const RecordBody body = RecordBody::build(fields);
    QVERIFY(!body.isValid());
    QVERIFY(body.text().isEmpty());
    QVERIFY2(body.errorString().contains(named), qPrintable(body.errorString()));
}

void TestInstrumentSim::shouldCountPiecesInCharactersAsTheReceiverDecodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<int>("repeatSize");
    QTest::addColumn<bool>("inBytes");
    QTest::addColumn<QList<int>>("charactersThrough");
    QTest::addColumn<int>("reachAt");
    QTest::addColumn<int>("reachingPiece");

    const QString body178 = QString(100, QChar(u'漢')) + QString(78, QLatin1Char('a'));
    QTest::newRow("100 and 78 characters")
        << body178 << QList<int> { 100, 78 } << 0 << false << QList<int> { 100, 178 } << 178 << 1;
    QTest::newRow("rest goes whole after the list")
        << body178 << QList<int> { 50 } << 0 << false << QList<int> { 50, 178 } << 178 << 1;
    QTest::newRow("rest in repeat-size pieces")
        << QStringLiteral("abcdefghij") << QList<int> { 3 } << 2 << false
        << QList<int> { 3, 5, 7, 9, 10 } << 8 << 3;
    QTest::newRow("byte pieces split a double-byte character")
        << QStringLiteral("漢字ab") << QList<int> { 3 } << 0 << true << QList<int> { 1, 4 } << 2
        << 1;
    QTest::newRow("body that never reaches the minimum")
        << QString(177, QLatin1Char('x')) << QList<int> { 100 } << 0 << false
        << QList<int> { 100, 177 } << 178 << -1;
}

void TestInstrumentSim::shouldCountPiecesInCharactersAsTheReceiverDecodes()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, sizes);
    QFETCH(int, repeatSize);
    QFETCH(bool, inBytes);
    QFETCH(QList<int>, charactersThrough);
    QFETCH(int, reachAt);
    QFETCH(int, reachingPiece);

    const std::optional<Transmission> transmission
        = Transmission::fromText(text, sizes, repeatSize, inBytes);
    QVERIFY(transmission);
    QCOMPARE(transmission->pieces().size(), charactersThrough.size());
    QList<int> counted;
    for (int i = 0; i < transmission->pieces().size(); ++i)
        counted.append(transmission->charactersThrough(i));
    QCOMPARE(counted, charactersThrough);
    QCOMPARE(transmission->pieceReaching(reachAt), reachingPiece);
    QCOMPARE(transmission->pieces().join(), Cp932Encoder::encode(text).value());
}

void TestInstrumentSim::shouldDeliverRecordsToAReceiverThatClosesBetweenThem_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("openLate");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<int>("minimumReads");
    QTest::addColumn<int>("minimumHeaderSends");

    QTest::newRow("one record in one piece")
        << QStringList() << false << QStringList { QStringLiteral("12345") } << 1 << 1;
    // While the receiver's port is closed after a record, the sim must keep its next header
    // back until the port has been reopened; anything sent meanwhile would be discarded. A record
    // timeout shorter than the resend fallback fails the row unless the sim sends as soon as
    // it sees the reopening discard, rather than after its fallback silence.
    QTest::newRow("pieces with the port closed between records")
        << QStringList { QStringLiteral("--pieces"), QStringLiteral("100,78"),
               QStringLiteral("--id"), QStringLiteral("41"), QStringLiteral("--id-step"),
               QStringLiteral("1"), QStringLiteral("--count"), QStringLiteral("2"),
               QStringLiteral("--resend-ms"), QStringLiteral("3000"), QStringLiteral("--timeout-s"),
               QStringLiteral("2") }
        << false << QStringList { QStringLiteral("   41"), QStringLiteral("   42") } << 2 << 1;
    QTest::newRow("header sent before the receiver opened is sent again")
        << QStringList { QStringLiteral("--resend-ms"), QStringLiteral("200") } << true
        << QStringList { QStringLiteral("12345") } << 1 << 2;
}

void TestInstrumentSim::shouldDeliverRecordsToAReceiverThatClosesBetweenThem()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, openLate);
    QFETCH(QStringList, ids);
    QFETCH(int, minimumReads);
    QFETCH(int, minimumHeaderSends);

    QProcess sim;
    sim.start(QStringLiteral(INSTRUMENT_SIM_PATH),
        QStringList { QStringLiteral("--print-slave"), QStringLiteral("--quiet-ms"),
            QStringLiteral("50"), QStringLiteral("--timeout-s"), QStringLiteral("20") }
            + arguments);
    QVERIFY2(sim.waitForStarted(5000), qPrintable(sim.errorString()));
    QStringList output;
    const QString slaveLine = nextLine(sim, output, QStringLiteral("slave: "));
    QVERIFY2(!slaveLine.isEmpty(), "the sim never named its slave");
    const QString slave = slaveLine.mid(7);

    if (openLate)
        QVERIFY2(waitForPendingInput(slave, 4, QDeadlineTimer(15000)),
            "the sim never sent a header before we opened");

    QList<PollingReceiver::Record> records;
    for (int i = 0; i < ids.size(); ++i) {
        if (i > 0) {
            // Three times the sim's quiet time, well within its fallback of --resend-ms.
            QVERIFY2(!waitForPendingInput(slave, 1, QDeadlineTimer(150)),
                "the sim sent while the port was closed");
        }
        PollingReceiver receiver;
        QVERIFY(receiver.open(slave));
        const std::optional<PollingReceiver::Record> record
            = receiver.receive(QDeadlineTimer(15000));
        QVERIFY2(record, "no whole record arrived");
        records.append(*record);
        QVERIFY(!nextLine(sim, output, QStringLiteral("record %1:").arg(i + 1)).isEmpty());
    }
    QVERIFY(sim.waitForFinished(15000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);

    const QList<SimRecordLine> lines = recordLines(output);
    QCOMPARE(lines.size(), ids.size());
    for (int i = 0; i < ids.size(); ++i) {
        const PollingReceiver::Record& record = records.at(i);
        QCOMPARE(record.header, QByteArray("R001"));
        QCOMPARE(record.body.size(), RecordBody::receiverMinimumLength);
        QCOMPARE(record.body.at(0), ack);
        QCOMPARE(cutAsReceiver(record.body).id, ids.at(i));
        QVERIFY2(record.dataReads >= minimumReads, qPrintable(QString::number(record.dataReads)));
        QCOMPARE(lines.at(i).acks, record.bodyAcks);
        QCOMPARE(lines.at(i).result, QStringLiteral("sent"));
        if (minimumHeaderSends == 1)
            QCOMPARE(lines.at(i).headerSends, 1);
        else
            QVERIFY(lines.at(i).headerSends >= minimumHeaderSends);
    }
}

void TestInstrumentSim::shouldPlanTheInstrumentsSideOfATrace_data()
{
    QTest::addColumn<QStringList>("trace");
    // Per step: its bytes in hex, the discards and whether an ACK it waits for, its record, and
    // "box" where a rejection's box stands between it and the read before.
    QTest::addColumn<QStringList>("steps");
    // Per record: header answered, body ACKs, discards, outcome.
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("discardsAfter");
    // The steps read in turn give the text the trace shows read; not so where the receiver
    // dropped a byte, which no plan can drop for it.
    QTest::addColumn<bool>("readsAlike");

    QTest::newRow("header, body and the reopened port")
        << QStringList { "open", "clear", "rx:52303031", "clear", "ack", "ack", "rx:0641", "ack",
               "clear", "close", "written:\"1\"", "open", "clear" }
        << QStringList { "52303031 1 0 1", "0641 1 1 1" } << QStringList { "1 2 3 written" } << 2
        << true;
    QTest::newRow("first byte of a kanji read with the K before it")
        << QStringList { "open", "clear", "rx:4b8c:held", "ack", "rx:8ca9" }
        << QStringList { "4b8c 1 0 1", "a9 0 1 1" } << QStringList { "1 0 0 none" } << 0 << true;
    QTest::newRow("held byte that the header wait dropped")
        << QStringList { "open", "clear", "rx:81:held", "forget", "rx:52303031" }
        << QStringList { "85 1 0 1", "52303031 0 0 1" } << QStringList { "0 0 0 none" } << 0
        << false;
    QTest::newRow("held byte that made no character with the next")
        << QStringList { "open", "clear", "rx:4181:held", "rx:ff2c" }
        << QStringList { "4185 1 0 1", "402c 0 0 1" } << QStringList { "0 0 0 none" } << 0 << true;
    QTest::newRow("rejected record, then a written one")
        << QStringList { "open", "clear", "rx:52303031", "clear", "ack", "rx:02", "ack",
               "rejected:no-ack", "clear", "close", "open", "clear", "rx:52303031", "clear", "ack",
               "rx:06", "ack", "clear", "close", "written:x" }
        << QStringList { "52303031 1 0 1", "02 1 1 1", "52303031 2 1 2 box", "06 1 1 2" }
        << QStringList { "1 1 3 rejected no-ack", "1 1 2 written" } << 1 << true;
    QTest::newRow("lone K: answers while it settles, then nothing") << QStringList { "open",
        "clear", "rx:52303031", "clear", "ack", "ack", "rx:4b", "ack", "ack",
        "abort" } << QStringList { "52303031 1 0 1", "4b 1 1 1" } << QStringList { "1 3 1 abort" }
                                                                    << 0 << true;
}

void TestInstrumentSim::shouldPlanTheInstrumentsSideOfATrace()
{
    QFETCH(QStringList, trace);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, records);
    QFETCH(int, discardsAfter);
    QFETCH(bool, readsAlike);

    const ReplayPlan plan(sessionOf(traceOf(trace)));
    QStringList planned;
    for (const ReplayPlan::Step& step : plan.steps())
        planned << QStringLiteral("%1 %2 %3 %4")
                       .arg(QString::fromLatin1(step.bytes.toHex()))
                       .arg(step.discardsBefore)
                       .arg(step.ackBefore ? 1 : 0)
                       .arg(step.record)
                + (step.afterBox ? QStringLiteral(" box") : QString());
    QCOMPARE(planned, steps);
    QStringList expected;
    for (const ReplayPlan::Record& record : plan.records())
        expected << QStringLiteral("%1 %2 %3 %4")
                        .arg(record.headerAcked ? 1 : 0)
                        .arg(record.bodyAcks)
                        .arg(record.discards)
                        .arg(record.outcome.isEmpty() ? QStringLiteral("none") : record.outcome);
    QCOMPARE(expected, records);
    QCOMPARE(plan.discardsAfterLastStep(), discardsAfter);

    // What each step's bytes read as, read in turn, is what the receiver read.
    Cp932Decoder lineDecoder;
    QString replayed;
    for (const ReplayPlan::Step& step : plan.steps())
        replayed += lineDecoder.decode(step.bytes);
    QString traced;
    for (const TraceEvent& event : sessionOf(traceOf(trace)).events) {
        if (event.kind == TraceEvent::Kind::Received)
            traced += event.text;
    }
    QCOMPARE(replayed == traced, readsAlike);
}

void TestInstrumentSim::shouldRefuseWhatItCannotReplay_data()
{
    QTest::addColumn<QByteArray>("trace");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QByteArray good = traceOf({ "open", "clear", "rx:52303031" });
    QTest::newRow("trace cut off in its last line")
        << good + "1000 rx 52" << QStringList {} << "cut off before its end";
    QTest::newRow("trace of a later format")
        << QByteArray("reccap-trace 9 reccap 9.00 2030-01-01T00:00:00Z\n0 open\n") << QStringList {}
        << "trace format 9 is unknown";
    QTest::newRow("several sessions, none chosen")
        << good + good << QStringList {} << "choose one with --session";
    QTest::newRow("a session that is not there")
        << good << QStringList { "--session", "2" } << "holds 1 session(s), not 2";
    QTest::newRow("a session with nothing read")
        << traceOf({ "open", "clear", "close" }) << QStringList {} << "holds no reads to play";
    QTest::newRow("an option that shapes records")
        << good << QStringList { "--count", "2" } << "--count cannot apply";
    QTest::newRow("a speed of nothing") << good << QStringList { "--speed", "0" } << "--speed";
    const QByteArray start(
        "reccap-trace 1 reccap 1.00 2026-12-07T10:00:00+09:00\n0 open\n1 clear\n");
    QTest::newRow("times that leap by 1e17 microseconds")
        << start + "100000000000000000 rx 52303031 \"R001\"\n"
        << QStringList {}
        << "line 4: the trace is silent for 1e+11 s before this read (at --speed 1), longer "
           "than --timeout-s 30";
    QTest::newRow("a silence longer than --timeout-s at the chosen speed")
        << start + "40000101 rx 52303031 \"R001\"\n"
        << QStringList { "--timeout-s", "10", "--speed", "4" } << "longer than --timeout-s 10";
    const QByteArray longRead
        = "1000000000 tx " + QByteArray(TraceReader::maxLineBytes, '6') + "\n";
    QTest::newRow("a line longer than the format allows")
        << good + longRead << QStringList {} << "line 6: longer than the 65536 bytes";
    QTest::newRow("zeros without a line end") << QByteArray(4 * TraceReader::maxLineBytes,
        '\0') << QStringList {} << "line 1: longer than the 65536 bytes";
}

void TestInstrumentSim::shouldRefuseWhatItCannotReplay()
{
    QFETCH(QByteArray, trace);
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("desk.trace"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(trace);
    file.close();
    expectReplayRefused(path, arguments, message);
}

void TestInstrumentSim::shouldRefuseAReplayFileThatIsNoPlainFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");

    QTest::newRow("a named pipe nobody writes") << "fifo"
                                                << "it is a named pipe (FIFO)";
    QTest::newRow("a device that never ends") << "/dev/zero"
                                              << "it is a character device";
    QTest::newRow("a folder") << "folder"
                              << "it is a folder";
}

void TestInstrumentSim::shouldRefuseAReplayFileThatIsNoPlainFile()
{
    QFETCH(QString, name);
    QFETCH(QString, message);

    QTemporaryDir folder;
    QString path = name;
    if (name == QLatin1String("fifo")) {
        path = folder.filePath(QStringLiteral("desk.trace"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (name == QLatin1String("folder")) {
        path = folder.path();
    }
    expectReplayRefused(path, {}, message);
}

void TestInstrumentSim::shouldReplayATraceAndSayWhereTheReceiverDiffers_data()
{
    QTest::addColumn<bool>("answers");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("report");

    QTest::newRow("a receiver that answers as the trace shows")
        << true << 0 << "record 1: header-ack=1/1 acks=2/";
    QTest::newRow("a receiver that never answers the header")
        << false << 1 << "the trace shows the header answered, the receiver did not answer it";
}

void TestInstrumentSim::shouldReplayATraceAndSayWhereTheReceiverDiffers()
{
    QFETCH(bool, answers);
    QFETCH(int, exitCode);
    QFETCH(QString, report);

    // The receiver of the trace: it discards on opening and before answering the header, polls
    // the body and answers every poll, then discards and closes.
    const RecordBody body = RecordBody::build(RecordFields {});
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("desk.trace"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(traceOf({ "open", "clear", "pause:30", "rx:52303031", "clear", "ack", "ack",
        "pause:20", QStringLiteral("rx:") + QString::fromLatin1(body.bytes().toHex()), "ack",
        "clear", "close", "written:\"12345 \"" }));
    file.close();

    QProcess sim;
    sim.start(QStringLiteral(INSTRUMENT_SIM_PATH),
        { QStringLiteral("--print-slave"), QStringLiteral("--timeout-s"), QStringLiteral("2"),
            QStringLiteral("--replay"), path });
    QVERIFY2(sim.waitForStarted(5000), qPrintable(sim.errorString()));
    QStringList output;
    const QString slaveLine = nextLine(sim, output, QStringLiteral("slave: "));
    QVERIFY2(!slaveLine.isEmpty(), "the sim never named its slave");
    PollingReceiver receiver;
    QVERIFY(receiver.open(slaveLine.mid(7)));
    if (answers) {
        const std::optional<PollingReceiver::Record> record
            = receiver.receive(QDeadlineTimer(15000), false);
        QVERIFY2(record, "no whole record arrived");
        QCOMPARE(record->body, body.text());
    }
    QVERIFY(sim.waitForFinished(15000));
    QCOMPARE(sim.exitCode(), exitCode);
    const QString said = output.join(u'\n') + QString::fromUtf8(sim.readAllStandardOutput());
    QVERIFY2(said.contains(report), qPrintable(said));
    QVERIFY2(said.contains(QRegularExpression(
                 QStringLiteral("\\nreplay: %1 difference")
                     .arg(answers ? QStringLiteral("0") : QStringLiteral("[1-9]")))),
        qPrintable(said));
}

QTEST_GUILESS_MAIN(TestInstrumentSim)
#include "tst_instrumentsim.moc"
