#include "fakeserialcontrol.h"
#include "linetrace.h"
#include "tracefile.h"
#include "tracereader.h"
#include "tracingserialcontrol.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Kind = TraceEvent::Kind;

// The trace's clock, held still unless a test moves it, so that a slow machine never turns a
// loop of polls into a second's wait.
LineTrace::Clock::time_point stillTime = LineTrace::Clock::time_point(std::chrono::hours(1));
LineTrace::Clock::time_point stillNow() { return stillTime; }

// A trace's device that writes into the test's own buffer (the trace owns and deletes the
// device) and counts the writes that reach it, refusing them from the n-th on, as a disk that
// fills up.
class CountingDevice : public QBuffer {
public:
    CountingDevice(QByteArray* contents, int* writes, int failFrom = -1)
        : QBuffer(contents)
        , m_writes(writes)
        , m_failFrom(failFrom)
    {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 writeData(const char* data, qint64 size) override
    {
        ++*m_writes;
        if (m_failFrom >= 0 && *m_writes >= m_failFrom) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        return QBuffer::writeData(data, size);
    }

private:
    int* m_writes;
    int m_failFrom;
};

std::unique_ptr<LineTrace> traceInto(
    QByteArray* contents, int* writes, int failFrom = -1, LineTrace::Complaint complain = {})
{
    return std::make_unique<LineTrace>(std::make_unique<CountingDevice>(contents, writes, failFrom),
        QStringLiteral("t.trace"), QStringLiteral("9.99"), std::move(complain), stillNow);
}

// An event as the tests write it: the kind's word and its arguments, without the time.
QString describe(const TraceEvent& event)
{
    QString text = TraceEvent::name(event.kind);
    switch (event.kind) {
    case Kind::Received:
    case Kind::Written:
        text += QStringLiteral(" %1 [%2]%3")
                    .arg(event.bytes.isEmpty() ? QStringLiteral("-")
                                               : QString::fromLatin1(event.bytes.toHex()),
                        event.text, event.held ? QStringLiteral(" held") : QString());
        break;
    case Kind::Sent:
        text += QLatin1Char(' ') + QString::fromLatin1(event.bytes.toHex());
        break;
    case Kind::BreakOn:
        text += QStringLiteral(" on");
        break;
    case Kind::BreakOff:
        text += QStringLiteral(" off");
        break;
    case Kind::Comm:
        text += QLatin1Char(' ') + QString::number(event.number);
        break;
    case Kind::Aborted:
        text += QStringLiteral(" %1 %2").arg(event.number).arg(event.answers);
        break;
    case Kind::Rejected:
        text += QStringLiteral(" [%1]").arg(event.text);
        if (!event.reason.isEmpty())
            text += QStringLiteral(" [%1]").arg(event.reason);
        break;
    case Kind::Fatal:
    case Kind::OpenFailed:
        text += QStringLiteral(" [%1]").arg(event.text);
        break;
    default:
        break;
    }
    return text;
}

QStringList describeAll(const QByteArray& trace)
{
    QString error;
    const std::optional<QList<TraceReader::Session>> sessions = TraceReader::parse(trace, &error);
    if (!sessions)
        return { QStringLiteral("unreadable: ") + error };
    QStringList events;
    for (const TraceReader::Session& session : *sessions) {
        for (const TraceEvent& event : session.events)
            events << describe(event);
    }
    return events;
}

// Works the traced port: "open", "close", "clear", "forget", "ack" (sends an ACK), "read"
// (one poll), "text:T" and "hex:H" (that arrives, and one poll takes it), "break:on",
// "break:off", "comm:N" (a line error), and the capture loop's notes "written:T",
// "rejected:RULE[:REASON]", "abort:MICROSECONDS:ANSWERS", "fatal:T".
void work(TracingSerialControl& port, FakeSerialControl& line, const QStringList& steps)
{
    RecordJournal& journal = *port.journal();
    for (const QString& step : steps) {
        const QString argument = step.section(u':', 1);
        if (step == QLatin1String("open"))
            port.setPortOpen(true);
        else if (step == QLatin1String("close"))
            port.setPortOpen(false);
        else if (step == QLatin1String("clear"))
            port.clearInBuffer();
        else if (step == QLatin1String("forget"))
            port.forgetPartialCharacter();
        else if (step == QLatin1String("ack"))
            port.output(QStringLiteral("\u0006"));
        else if (step == QLatin1String("read"))
            port.input();
        else if (step.startsWith(QLatin1String("text:"))) {
            line.addReads({ argument });
            port.input();
        } else if (step.startsWith(QLatin1String("hex:"))) {
            line.addBytes({ QByteArray::fromHex(argument.toLatin1()) });
            port.input();
        } else if (step.startsWith(QLatin1String("break:")))
            port.setBreak(argument == QLatin1String("on"));
        else if (step.startsWith(QLatin1String("comm:")))
            line.raiseEvent(argument.toInt());
        else if (step.startsWith(QLatin1String("written:")))
            journal.recordWritten(argument.toLatin1());
        else if (step.startsWith(QLatin1String("rejected:"))) {
            const QByteArray rule = argument.section(u':', 0, 0).toLatin1();
            journal.recordRejected(QLatin1String(rule), argument.section(u':', 1));
        } else if (step.startsWith(QLatin1String("abort:")))
            journal.recordAborted(std::chrono::microseconds(argument.section(u':', 0, 0).toInt()),
                argument.section(u':', 1).toInt());
        else if (step.startsWith(QLatin1String("fatal:")))
            journal.fatalError(argument);
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
    }
}

}

class TestLineTrace : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shouldTraceWhatCrossesTheLineSoTheReaderGetsItBack_data();
    void shouldTraceWhatCrossesTheLineSoTheReaderGetsItBack();
    void shouldWriteAtMostOnceASecondWhileThePortIsOpen();
    void shouldWriteEachRecordsOutcomeAtOnce_data();
    void shouldWriteEachRecordsOutcomeAtOnce();
    void shouldSayOnceWhenTheTraceCannotBeWrittenAndLetThePortWorkOn_data();
    void shouldSayOnceWhenTheTraceCannotBeWrittenAndLetThePortWorkOn();
    void shouldMakeTheTraceTheUsersAloneAndAppendToIt_data();
    void shouldMakeTheTraceTheUsersAloneAndAppendToIt();
    void shouldRefuseATraceThatIsNoFileOfItsOwn_data();
    void shouldRefuseATraceThatIsNoFileOfItsOwn();
    void shouldRefuseMalformedTrace_data();
    void shouldRefuseMalformedTrace();
};

void TestLineTrace::shouldTraceWhatCrossesTheLineSoTheReaderGetsItBack_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("header answered, then closed")
        << QStringList { "open", "clear", "read", "text:R001", "clear", "ack", "close" }
        << QStringList { "open", "clear", "rx 52303031 [R001]", "clear", "tx 06", "close", "end" };
    QTest::newRow("polls that find nothing leave no line") << QStringList { "open", "read", "read",
        "ack", "read" } << QStringList { "open", "tx 06", "end" };
    QTest::newRow("K and the first byte of a kanji in one read") << QStringList { "open",
        "hex:4b8c", "hex:a9" } << QStringList { "open", "rx 4b [K] held", "rx 8ca9 [見]", "end" };
    QTest::newRow("a read of nothing but a first byte") << QStringList { "open", "hex:8c",
        "hex:a9" } << QStringList { "open", "rx - [] held", "rx 8ca9 [見]", "end" };
    QTest::newRow("a held byte dropped after a silence") << QStringList { "open", "hex:81",
        "forget", "forget" } << QStringList { "open", "rx - [] held", "forget", "end" };
    QTest::newRow("bytes that are no code page 932 read again as the same text")
        << QStringList { "open", "hex:00ff80412c1b" }
        << QStringList { "open",
               QStringLiteral("rx 00ffff412c1b [") + QChar(0)
                   + QStringLiteral("\uFFFD\uFFFDA,\u001b]"),
               "end" };
    QTest::newRow("half-width kana and a kanji") << QStringList { "open",
        "text:ﾐﾎﾝ 見本" } << QStringList { "open", "rx d0cedd208ca9967b [ﾐﾎﾝ 見本]", "end" };
    QTest::newRow("break and line errors")
        << QStringList { "open", "break:on", "comm:1004", "break:off", "close", "break:on" }
        << QStringList { "open", "break on", "comm 1004", "break off", "close", "end" };
    QTest::newRow("what became of the records")
        << QStringList { "open", "rejected:no-ack", "close", "written:\"1\"\r\n", "open",
               "abort:22863:20", "fatal:Lost COM3 (/dev/ttyUSB0)" }
        << QStringList { "open", "rejected [no-ack]", "close", "written 2231220d0a [\"1\"\r\n]",
               "open", "abort 22863 20", "fatal [Lost COM3 (/dev/ttyUSB0)]", "end" };
    // The reason the operator was told goes along with the rule, quotes and all.
    QTest::newRow("a refusal with the reason given")
        << QStringList { "open", "rejected:malformed-field:受信漢字氏名: 二重引用符を含みます" }
        << QStringList { "open", "rejected [malformed-field] [受信漢字氏名: 二重引用符を含みます]",
               "end" };
}

void TestLineTrace::shouldTraceWhatCrossesTheLineSoTheReaderGetsItBack()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, events);

    QByteArray written;
    int writes = 0;
    {
        auto* line = new FakeSerialControl;
        TracingSerialControl port(line, traceInto(&written, &writes));
        work(port, *line, steps);
        QVERIFY(written.startsWith("reccap-trace 1 reccap 9.99 "));
    }
    QCOMPARE(describeAll(written), events);
}

void TestLineTrace::shouldWriteAtMostOnceASecondWhileThePortIsOpen()
{
    QByteArray written;
    int writes = 0;
    auto* line = new FakeSerialControl;
    TracingSerialControl port(line, traceInto(&written, &writes));
    // The session line goes out at once, so that a trace that cannot be written is known at
    // the start.
    QCOMPARE(writes, 1);

    port.setPortOpen(true);
    for (int i = 0; i < 500; ++i) {
        line->addReads({ QStringLiteral("x") });
        port.input();
        port.output(QStringLiteral("\u0006"));
        port.input();
    }
    QCOMPARE(writes, 1);
    // A second on, the next event takes all that waited with it.
    stillTime += LineTrace::flushInterval;
    line->addReads({ QStringLiteral("y") });
    port.input();
    QCOMPARE(writes, 2);
    QVERIFY(written.endsWith(" rx 79 \"y\"\n"));
    // The line falls silent in the header wait, which sleeps until it speaks: what was noted
    // last still reaches the file, without another poll.
    port.clearInBuffer();
    QCOMPARE(writes, 2);
    QTRY_COMPARE_WITH_TIMEOUT(writes, 3, 5000);
    QVERIFY(written.endsWith(" clear\n"));

    port.setPortOpen(false);
    QCOMPARE(writes, 4);
    const qsizetype afterClose = written.size();

    // A line that spews without ever closing the port is written in large pieces.
    port.setPortOpen(true);
    const QString noise(100, QLatin1Char('~'));
    while (written.size() == afterClose) {
        line->addReads({ noise });
        port.input();
    }
    QCOMPARE(writes, 5);
    QVERIFY(written.size() - afterClose >= LineTrace::flushThreshold);
}

void TestLineTrace::shouldWriteEachRecordsOutcomeAtOnce_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("event");

    QTest::newRow("written") << "written:1"
                             << "written 31 [1]";
    QTest::newRow("rejected") << "rejected:cut-off"
                              << "rejected [cut-off]";
    QTest::newRow("aborted") << "abort:22000:20"
                             << "abort 22000 20";
    QTest::newRow("fatal") << "fatal:Lost COM3"
                           << "fatal [Lost COM3]";
}

void TestLineTrace::shouldWriteEachRecordsOutcomeAtOnce()
{
    QFETCH(QString, outcome);
    QFETCH(QString, event);

    QByteArray written;
    int writes = 0;
    auto* line = new FakeSerialControl;
    TracingSerialControl port(line, traceInto(&written, &writes));
    // With the port still open and the clock still: the outcome alone makes the write, as
    // the operator's box that follows it may stand for long.
    work(port, *line, { "open", "text:R001", "ack", outcome });
    QCOMPARE(writes, 2);
    QCOMPARE(describeAll(written).constLast(), event);
}

void TestLineTrace::shouldRefuseATraceThatIsNoFileOfItsOwn_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");

    // As a co-user may link a file of ours where hard links to others' files are allowed.
    QTest::newRow("a second name of another file") << "second name"
                                                   << "it has 2 names (hard links)";
#ifdef Q_OS_WIN
    QTest::newRow("the null device") << "NUL"
                                     << "it is a device, not a plain file";
    QTest::newRow("a folder") << "folder"
                              << "it is a folder, not a plain file";
#else
    QTest::newRow("a named pipe nobody reads") << "fifo"
                                               << "it is a named pipe (FIFO)";
    QTest::newRow("a named pipe somebody reads") << "read fifo"
                                                 << "it is a named pipe (FIFO)";
    QTest::newRow("the null device") << "/dev/null"
                                     << "it is a character device";
    QTest::newRow("a folder") << "folder"
                              << "it is a folder";
#endif
}

void TestLineTrace::shouldRefuseATraceThatIsNoFileOfItsOwn()
{
    QFETCH(QString, name);
    QFETCH(QString, message);

    QTemporaryDir folder;
    QString path = name;
    QFile reader;
    if (name == QLatin1String("folder")) {
        path = folder.filePath(name);
        QVERIFY(QDir().mkdir(path));
    }
    const QString other = folder.filePath(QStringLiteral("profile"));
    if (name == QLatin1String("second name")) {
        QFile file(other);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write("private\n"), 8);
        file.close();
        path = folder.filePath(QStringLiteral("desk.trace"));
#ifdef Q_OS_WIN
        QVERIFY(CreateHardLinkW(
            reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
            reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(other).utf16()), nullptr));
#else
        QCOMPARE(
            ::link(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
#endif
    }
#ifndef Q_OS_WIN
    if (name.endsWith(QLatin1String("fifo"))) {
        path = folder.filePath(QStringLiteral("desk.trace"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // A reader at the other end lets the open through: the file's kind must stop it.
        if (name.startsWith(QLatin1String("read "))) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
            QVERIFY(fd >= 0);
            QVERIFY(reader.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        }
    }
#endif
    QString error;
    const std::unique_ptr<QFile> file = TraceFile::openForAppend(path, &error);
    QVERIFY2(!file, qPrintable(path));
    QVERIFY2(error.contains(message), qPrintable(error));
    if (name == QLatin1String("second name")) {
        QFile file(other);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("private\n"));
    }
}

void TestLineTrace::shouldSayOnceWhenTheTraceCannotBeWrittenAndLetThePortWorkOn_data()
{
    QTest::addColumn<int>("failFrom");

    QTest::newRow("the first write, at the start") << 1;
    QTest::newRow("the disk fills between records") << 3;
}

void TestLineTrace::shouldSayOnceWhenTheTraceCannotBeWrittenAndLetThePortWorkOn()
{
    QFETCH(int, failFrom);

    QByteArray written;
    int writes = 0;
    auto* line = new FakeSerialControl;
    QStringList complaints;
    TracingSerialControl port(line,
        traceInto(
            &written, &writes, failFrom, [&](const QString& message) { complaints << message; }));
    for (int record = 0; record < 4; ++record) {
        port.setPortOpen(true);
        line->addReads({ QStringLiteral("R001") });
        QCOMPARE(port.input(), QStringLiteral("R001"));
        QVERIFY(port.output(QStringLiteral("\u0006")));
        port.setPortOpen(false);
    }

    QCOMPARE(complaints.size(), 1);
    QVERIFY2(complaints.first().contains(QStringLiteral("t.trace"))
            && complaints.first().contains(QStringLiteral("No space left on device")),
        qPrintable(complaints.first()));
    QCOMPARE(writes, failFrom);
    QCOMPARE(line->writes().size(), 4);
}

void TestLineTrace::shouldMakeTheTraceTheUsersAloneAndAppendToIt_data()
{
    QTest::addColumn<bool>("existing");

    QTest::newRow("a new trace") << false;
    // Made by hand, or by an older program, readable by everyone.
    QTest::newRow("an existing trace readable by all") << true;
}

void TestLineTrace::shouldMakeTheTraceTheUsersAloneAndAppendToIt()
{
    QFETCH(bool, existing);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("desk.trace"));
    if (existing) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
            | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther));
    }
    for (int run = 0; run < 2; ++run) {
        QString error;
        std::unique_ptr<QFile> file = TraceFile::openForAppend(path, &error);
        QVERIFY2(file, qPrintable(error));
        LineTrace trace(std::move(file), path, QStringLiteral("9.99"));
        trace.portOpening();
        trace.portOpened();
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString error;
    const std::optional<QList<TraceReader::Session>> sessions
        = TraceReader::parse(file.readAll(), &error);
    QVERIFY2(sessions, qPrintable(error));
    QCOMPARE(sessions->size(), 2);
    QCOMPARE(sessions->at(1).line, 4);
#ifdef Q_OS_WIN
    // A relative name goes to the profile folder, not to wherever the shortcut started us.
    QCOMPARE(TraceFile::resolve(QStringLiteral("desk.trace")),
        QDir(QDir::homePath()).filePath(QStringLiteral("desk.trace")));
#else
    QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
        QFile::ReadOwner | QFile::WriteOwner);
    // A link at the name could carry the records into somebody else's file.
    const QString link = folder.filePath(QStringLiteral("link.trace"));
    QVERIFY(QFile::link(path, link));
    QString refusal;
    QVERIFY(!TraceFile::openForAppend(link, &refusal));
    QVERIFY2(refusal.contains(QStringLiteral("link")), qPrintable(refusal));
#endif
}

void TestLineTrace::shouldRefuseMalformedTrace_data()
{
    QTest::addColumn<QByteArray>("trace");
    QTest::addColumn<QString>("message");

    const QByteArray session("reccap-trace 1 reccap 1.00 2026-12-07T10:00:00+09:00\n");
    QTest::newRow("empty") << QByteArray() << "empty";
    QTest::newRow("last line cut off") << session + "0 open\n12 rx 5230"
                                       << "line 3: cut off";
    QTest::newRow("format from a later program")
        << QByteArray("reccap-trace 2 reccap 2.00 2027-01-01T00:00:00Z\n0 open\n")
        << "line 1: trace format 2 is unknown; this program reads format 1";
    QTest::newRow("events before any session line") << QByteArray("0 open\n") << "line 1:";
    QTest::newRow("unknown event") << session + "0 teleport\n"
                                   << "line 2: unknown event";
    QTest::newRow("bytes and text disagree") << session + "5 rx 52303031 \"R002\"\n"
                                             << "line 2: the bytes do not read as the text";
    QTest::newRow("odd hex") << session + "5 tx 060\n"
                             << "line 2: the tx event";
    QTest::newRow("unfinished quote") << session + "5 fatal \"Lost\n"
                                      << "line 2: the fatal event";
    QTest::newRow("time going backwards") << session + "9 open\n8 close\n"
                                          << "line 3: the time goes backwards";
    QTest::newRow("blank line") << session + "\n0 open\n"
                                << "line 2: empty";
}

void TestLineTrace::shouldRefuseMalformedTrace()
{
    QFETCH(QByteArray, trace);
    QFETCH(QString, message);

    QString error;
    QVERIFY(!TraceReader::parse(trace, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestLineTrace)
#include "tst_linetrace.moc"
