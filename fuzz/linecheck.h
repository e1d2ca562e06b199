#pragma once

#include "captureloop.h"
#include "captureview.h"
#include "cp932encoder.h"
#include "fakeserialcontrol.h"
#include "recordjournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

// Two people on one line, the first one cut short: the instrument was reset, or re-sent, in the
// middle of person A's body, and person B's header and body follow, at once or after a gap. The
// capture loop runs on the scripted port with every cut of A and every way the line cuts the
// bytes into reads, and must keep one line one person: every line it writes is the expected
// line of a person sent whole, and every person sent whole is written or the "please resend"
// box came up while that person was on the line. Shared by the fuzzer, which draws the
// scenario from its input, and by the regression test, which walks every cut.
namespace LineCheck {

struct Scenario {
    // Bytes of A's body on the line before B starts; A's whole size or more sends A whole.
    int cutAfterBytes { 0 };
    // Polls that find nothing between A and B, one character time each.
    int gapPolls { 0 };
    // A copy of the header, re-sent by an instrument that did not see our ACK in time, reaches
    // A's body wait ahead of the body.
    bool resentHeader { false };
    // Sizes of the reads, repeating; none, or all 0, delivers each stretch in one read.
    QList<int> readSizes;
};

struct Person {
    QString id, kanjiName, kanaName, birthDate, gender;
};

inline Person person(int which)
{
    if (which == 0)
        return { QStringLiteral("11111"), QStringLiteral("山田太郎"), QStringLiteral("ﾔﾏﾀﾞ ﾀﾛｳ"),
            QStringLiteral("S45.03.12"), QStringLiteral("1") };
    return { QStringLiteral("22222"), QStringLiteral("佐藤花子"), QStringLiteral("ｻﾄｳ ﾊﾅｺ"),
        QStringLiteral("H02.11.30"), QStringLiteral("2") };
}

// The instrument's layout: ACK, filler, the ID at positions 24 to 28, then each field after
// ",ESC" and a three-character tag, ended by ESC. Double-byte filler in an unused field gives
// the cuts characters to fall inside.
inline QByteArray bodyBytes(const Person& p)
{
    const QChar esc(0x1b);
    QString text = QChar(0x06) + QString(22, QLatin1Char('.')) + p.id;
    const QString fields[] = { QStringLiteral("F1"), p.kanjiName, p.kanaName + QLatin1Char(' '),
        p.birthDate, p.gender, QString(12, QChar(0x4e9c)) };
    for (int i = 0; i < 6; ++i)
        text += QLatin1Char(',') + esc + QStringLiteral("00%1").arg(i + 1) + fields[i] + esc;
    while (text.size() < 178)
        text += QLatin1Char('.');
    return *Cp932Encoder::encode(text);
}

inline QByteArray expectedLine(const Person& p)
{
    return *Cp932Encoder::encode(QStringLiteral("\"%1 \",\"%2\",\"%3\",\"%4\"\r\n")
                                     .arg(p.id, p.birthDate, p.kanjiName, p.gender));
}

inline const QByteArray& header()
{
    static const QByteArray bytes("R001");
    return bytes;
}

// Plays the window: counts the boxes and notes how far the script had got when each came up;
// closes the port, as "Comm Break" would, once the script is played out.
class View : public CaptureView {
public:
    explicit View(FakeSerialControl& port, QString resultPath)
        : m_port(port)
        , m_resultPath(std::move(resultPath))
    {
    }
    void setField(Field, const QString&) override { }
    QString resultPath() const override { return m_resultPath; }
    void setLamp(Lamp) override { }
    void setOpenEnabled(bool) override { }
    void showCommError(const QString&) override { readsLeftAtBox << m_port.pendingReads(); }
    void showResultFileError(const QString& message) override { failures << message; }
    void yieldToEvents(EventPump::Pace) override
    {
        if (m_port.pendingReads() == 0)
            m_port.setPortOpen(false);
    }
    void fatal(const QString& message) override { failures << message; }
    void abortProgram() override { failures << QStringLiteral("abort"); }

    QList<int> readsLeftAtBox;
    QStringList failures;

private:
    FakeSerialControl& m_port;
    QString m_resultPath;
};

class Written : public RecordJournal {
public:
    void recordWritten(const QByteArray& line) override { lines << line; }
    void recordRejected(QLatin1String, const QString&) override { }
    void recordAborted(std::chrono::nanoseconds, int) override { }
    void fatalError(const QString&) override { }
    QList<QByteArray> lines;
};

// Drive C of our own, so that C:\Result.txt lands in a temporary folder.
inline bool mapDriveC()
{
    static std::unique_ptr<QTemporaryDir> config;
    static std::unique_ptr<QTemporaryDir> drive;
    if (config)
        return true;
    config = std::make_unique<QTemporaryDir>();
    drive = std::make_unique<QTemporaryDir>();
    const QString folder = config->filePath(QStringLiteral("reccap/dosdevices"));
    if (!QDir().mkpath(folder) || !QFile::link(drive->path(), folder + QStringLiteral("/c:")))
        return false;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config->path()));
    return true;
}

// Cuts `bytes` into reads of the planned sizes, going on from where the plan stood.
inline void cutInto(
    QList<QByteArray>& reads, const QByteArray& bytes, const QList<int>& sizes, qsizetype& nextSize)
{
    int total = 0;
    for (int size : sizes)
        total += size;
    if (total == 0) {
        if (!bytes.isEmpty())
            reads << bytes;
        return;
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const int size = sizes.at(nextSize++ % sizes.size());
        if (size == 0) {
            reads << QByteArray();
            continue;
        }
        reads << bytes.mid(done, size);
        done += size;
    }
}

inline QString describe(const Scenario& s, const QString& what)
{
    QStringList sizes;
    for (int size : s.readSizes)
        sizes << QString::number(size);
    return QStringLiteral("%1 (A cut after %2 bytes, %3 quiet polls, %4, reads %5)")
        .arg(what)
        .arg(s.cutAfterBytes)
        .arg(s.gapPolls)
        .arg(s.resentHeader ? QStringLiteral("header re-sent") : QStringLiteral("header once"))
        .arg(sizes.join(QLatin1Char(',')));
}

inline QString run(const Scenario& s)
{
    if (!mapDriveC())
        return QStringLiteral("cannot map drive C");
    const Person a = person(0);
    const Person b = person(1);
    const QByteArray aBody = bodyBytes(a);
    const bool aWhole = s.cutAfterBytes >= aBody.size();

    // A's header comes alone: the header wait ends on it. Then A's copy and body; then B, whose
    // header shares reads with A's cut body when nothing stands between them. After a gap, B is
    // an instrument that waits for its header's ACK: its body starts a read of its own.
    QList<QByteArray> reads;
    qsizetype nextSize = 0;
    cutInto(reads, header(), s.readSizes, nextSize);
    QByteArray first = s.resentHeader ? header() : QByteArray();
    first += aBody.left(s.cutAfterBytes);
    const QByteArray bBody = bodyBytes(b);
    qsizetype bStart = 0;
    if (s.gapPolls == 0) {
        const qsizetype before = reads.size();
        cutInto(reads, first + header(), s.readSizes, nextSize);
        // The first read that holds a byte of B's header.
        qsizetype at = 0;
        bStart = before;
        for (qsizetype i = before; i < reads.size(); ++i) {
            at += reads.at(i).size();
            if (at > first.size()) {
                bStart = i;
                break;
            }
        }
    } else {
        cutInto(reads, first, s.readSizes, nextSize);
        for (int i = 0; i < s.gapPolls; ++i)
            reads << QByteArray();
        bStart = reads.size();
        cutInto(reads, header(), s.readSizes, nextSize);
    }
    cutInto(reads, bBody, s.readSizes, nextSize);

    FakeSerialControl port;
    Written written;
    port.setJournal(&written);
    View view(port, QStringLiteral("C:\\Result.txt"));
    port.addBytes(reads);
    const int total = int(reads.size());
    CaptureLoop(port, view).run();

    if (!view.failures.isEmpty())
        return describe(s, QStringLiteral("the loop ended on ") + view.failures.join(u'|'));
    const QByteArray aLine = expectedLine(a);
    const QByteArray bLine = expectedLine(b);
    for (const QByteArray& line : written.lines) {
        if (line == bLine || (aWhole && line == aLine))
            continue;
        return describe(s,
            QStringLiteral("wrote a line that is no person sent whole: ")
                + QString::fromLatin1(line.toHex(' ')));
    }
    if (written.lines.count(aLine) > 1 || written.lines.count(bLine) > 1)
        return describe(s, QStringLiteral("wrote one person twice"));
    // A box counts for a person when it came up after the person's first read.
    const auto boxWhileOnLine = [&](qsizetype firstRead) {
        for (int left : view.readsLeftAtBox) {
            if (total - left > firstRead)
                return true;
        }
        return false;
    };
    if (aWhole && !written.lines.contains(aLine) && !boxWhileOnLine(0))
        return describe(s, QStringLiteral("A, sent whole, was neither written nor refused"));
    if (!written.lines.contains(bLine) && !boxWhileOnLine(bStart))
        return describe(s, QStringLiteral("B, sent whole, was neither written nor refused"));
    return {};
}

// A fuzz input: two bytes for the cut, one for the gap (0, 0.3 s, 0.7 s or 1 s of quiet polls),
// one for the re-sent header, then the read sizes (0 to 40 each, at most 15 of them).
inline QString run(const uint8_t* data, size_t size)
{
    static const int gaps[] = { 0, 288, 672, 960 };
    Scenario s;
    if (size >= 2)
        s.cutAfterBytes = (data[0] << 8 | data[1]) % (bodyBytes(person(0)).size() + 1);
    if (size >= 3)
        s.gapPolls = gaps[data[2] % 4];
    if (size >= 4)
        s.resentHeader = data[3] & 1;
    for (size_t i = 4; i < size && i < 19; ++i)
        s.readSizes << data[i] % 41;
    return run(s);
}

}
