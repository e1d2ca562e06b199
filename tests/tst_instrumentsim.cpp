#include "cp932decoder.h"
#include "cp932encoder.h"
#include "recordbody.h"
#include "transmission.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
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

    std::optional<Record> receive(QDeadlineTimer deadline)
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

QTEST_GUILESS_MAIN(TestInstrumentSim)
#include "tst_instrumentsim.moc"
