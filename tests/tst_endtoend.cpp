#include "atspisession.h"
#include "cp932encoder.h"
#include "desktopdriver.h"
#include "endprocess.h"
#include "lockfiles.h"
#include "ptypair.h"
#include "recordbody.h"
#include "simprocess.h"
#include "tracereader.h"
#include "xvfbserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>

#include <csignal>
#include <fcntl.h>
#include <linux/tty.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Where the operator's pointer goes, in the window's own coordinates: the middle of each
// button and of the lamp.
constexpr QPoint commOpen { 68, 24 };
constexpr QPoint commBreak { 196, 24 };
constexpr QPoint lampCentre { 328, 24 };

const QColor red(255, 0, 0);
const QColor green(0, 255, 0);
const QColor blue(0, 0, 255);

constexpr int waitMs = 30000;
// How long a click on "Comm Break" holds the break on the line.
constexpr int breakMs = 1000;

// With RECCAP_E2E_WINE_PROGRAM naming the Windows build's reccap.exe, the same cases run it
// under Wine in the prefix RECCAP_E2E_WINEPREFIX: COM3 is the prefix's dosdevices/com3 link and
// C:\Result.txt its drive_c/Result.txt, as on a Windows desk.
QString wineProgram() { return qEnvironmentVariable("RECCAP_E2E_WINE_PROGRAM"); }
QString winePrefix() { return qEnvironmentVariable("RECCAP_E2E_WINEPREFIX"); }

QByteArray resultLine(const QString& idItem, const QString& kanji = QStringLiteral("山田太郎"))
{
    return *Cp932Encoder::encode(
        QStringLiteral("\"%1\",\"S45.03.12\",\"%2\",\"1\"\r\n").arg(idItem, kanji));
}

// What became of each record by a trace: "written <hex>", "rejected <rule>", "abort", "fatal".
// The abort's silence is left out: it differs from run to run by how late a poll came.
QStringList outcomes(const QString& tracePath)
{
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return { QStringLiteral("no trace at ") + tracePath };
    QString error;
    const std::optional<QList<TraceReader::Session>> sessions
        = TraceReader::parse(file.readAll(), &error);
    if (!sessions)
        return { QStringLiteral("unreadable trace: ") + error };
    QStringList found;
    for (const TraceReader::Session& session : *sessions) {
        for (const TraceEvent& event : session.events) {
            switch (event.kind) {
            case TraceEvent::Kind::Written:
                found << QStringLiteral("written ") + QString::fromLatin1(event.bytes.toHex());
                break;
            case TraceEvent::Kind::Rejected:
                found << QStringLiteral("rejected ") + event.text;
                break;
            case TraceEvent::Kind::Aborted:
                found << QStringLiteral("abort");
                break;
            case TraceEvent::Kind::Fatal:
                found << QStringLiteral("fatal");
                break;
            default:
                break;
            }
        }
    }
    return found;
}

bool fileContains(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
}

// The lock file that the serial port library keeps beside an open device, as in
// /var/lock/LCK..pts_3 for /dev/pts/3.
QString portLockFile(const QString& device)
{
    QString name = device.mid(device.startsWith(QLatin1String("/dev/")) ? 5 : 0);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("/var/lock/LCK..") + name;
}

// The program's window as a screen reader reads it: one object per line of atspi-probe's
// dump, in the tree's order. Empty while the program is not on the accessibility bus yet.
QList<QJsonObject> accessibleTree(const AtSpiSession& session)
{
    QProcess probe;
    probe.setProcessEnvironment(session.environment());
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QStringLiteral(ATSPI_PROBE), { QStringLiteral("dump"), QStringLiteral("reccap") });
    if (!probe.waitForFinished(waitMs) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0)
        return {};
    QList<QJsonObject> objects;
    for (const QByteArray& line : probe.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    }
    return objects;
}

QJsonObject accessible(const QList<QJsonObject>& tree, const QString& role, const QString& name)
{
    for (const QJsonObject& object : tree) {
        if (object.value(QLatin1String("role")).toString() == role
            && object.value(QLatin1String("name")).toString() == name)
            return object;
    }
    return {};
}

// Name changes as a screen reader hears them announced, from atspi-probe's watch.
class Announcements {
public:
    explicit Announcements(const AtSpiSession& session)
    {
        m_watch.setProcessEnvironment(session.environment());
        m_watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_watch.start(
            QStringLiteral(ATSPI_PROBE), { QStringLiteral("watch"), QStringLiteral("reccap") });
    }
    ~Announcements()
    {
        m_watch.kill();
        m_watch.waitForFinished(5000);
    }
    bool waitUntilListening()
    {
        return waitForLine([](const QByteArray& line) { return line == "ready"; });
    }
    // Waits for `role` to announce `name` as its new name; what came before it is passed over.
    bool waitForName(const QString& role, const QString& name)
    {
        return waitForLine([&](const QByteArray& line) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value(QLatin1String("event")).toString()
                != QLatin1String("object:property-change:accessible-name"))
                return false;
            m_heard << event.value(QLatin1String("value")).toString();
            return event.value(QLatin1String("role")).toString() == role
                && event.value(QLatin1String("value")).toString() == name;
        });
    }
    QString heard() const
    {
        return QStringLiteral("names announced: ") + m_heard.join(QLatin1String(", "));
    }

private:
    bool waitForLine(const std::function<bool(const QByteArray&)>& wanted)
    {
        const QDeadlineTimer deadline(waitMs);
        while (!deadline.hasExpired()) {
            while (m_watch.canReadLine()) {
                if (wanted(m_watch.readLine().trimmed()))
                    return true;
            }
            if (m_watch.state() == QProcess::NotRunning)
                return false;
            m_watch.waitForReadyRead(100);
        }
        return false;
    }

    QProcess m_watch;
    QStringList m_heard;
};

}

// The whole program in a real window on a private X server, fed by the instrument simulator
// on a pseudo-terminal, worked with clicks the way an operator works it.
class TestEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void shouldWriteEachOfThreeRecordsInTurn();
    void shouldRejectDamagedRecordAndCaptureTheResentOne();
    void shouldAnswerNoRecordWhileResultFolderIsGone();
    void shouldGiveUpRecordCutOffMidBodyAndWriteTheNextPersonWhole_data();
    void shouldGiveUpRecordCutOffMidBodyAndWriteTheNextPersonWhole();
    void shouldCaptureBodySentTheMomentTheHeaderIsAnswered();
    void shouldAnswerWhateverTheDeskIsDoing_data();
    void shouldAnswerWhateverTheDeskIsDoing();
    void shouldStopOnBreakDuringBodyAndOpenAgain_data();
    void shouldStopOnBreakDuringBodyAndOpenAgain();
    void shouldEndAtOnceOnAbortChunk();
    void shouldWriteRecordWithKInsideNameAtLinePace();
    void shouldReleasePortOnSignalSoAnotherUserCapturesAtOnce_data();
    void shouldReleasePortOnSignalSoAnotherUserCapturesAtOnce();
    void shouldRefuseToStartTwiceOrWithoutDisplay_data();
    void shouldRefuseToStartTwiceOrWithoutDisplay();
    void shouldRunOncePerWaylandSession();
    void shouldBringRunningWindowForwardOnSecondStart();
    void shouldReportAdapterPulledDuringHeaderWaitOnce_data();
    void shouldReportAdapterPulledDuringHeaderWaitOnce();
    void shouldReplayRecordedTraceToTheSameResultAndOutcomes_data();
    void shouldReplayRecordedTraceToTheSameResultAndOutcomes();
    void shouldReplayCheckedInTrace_data();
    void shouldReplayCheckedInTrace();
    void shouldCaptureOnWhenTheTraceCannotBeWritten();
    void shouldOpenWithReturnOnTheFocusedButton();
    void shouldTellScreenReaderCaptionsAndLampStateInWords();

private:
    bool startSim(const QStringList& arguments);
    // Plays the trace against the program started meanwhile, answering every "please resend"
    // box as the desk's operator did; the differences the simulator found, or -1.
    int replay(const QString& trace);
    QProcessEnvironment reccapEnvironment() const;
    // `asUser` runs the program through setpriv as another user.
    bool startReccap(const QStringList& asUser = {});
    bool startReccapAsNobody();
    // Ends the program the way its desk does: a signal on Linux, a close of its window on
    // Windows, where a signal would end the process before the program has a say.
    void endReccap();
    QColor lamp() const { return m_desktop->pixel(m_window, lampCentre.x(), lampCentre.y()); }
    bool click(QPoint at) const { return m_desktop->click(m_window, at.x(), at.y()); }
    QByteArray result() const;
    QString resultPath() const;
    // Stops the program for `length`, as a machine too busy to run it does, and until the
    // line holds at least `queued` bytes the instrument sent meanwhile. With `instrumentWaits`
    // the instrument is held too, as one that sends nothing until it hears our ACKs.
    void stallReccap(std::chrono::milliseconds length, int queued, bool instrumentWaits = false);
    QString devices() const;

    XvfbServer m_xvfb;
    std::unique_ptr<DesktopDriver> m_desktop;
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<QTemporaryDir> m_drive;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<QProcess> m_reccap;
    std::unique_ptr<QTemporaryDir> m_nobodyCopy;
    // The display the program is started on: the private server's, unless a test needs one
    // that it can take away.
    QString m_display;
    quint64 m_window { 0 };
    // How the next program started is told to trace its line.
    QStringList m_reccapArguments;
    QString m_traceVariable;
    // The accessibility buses the next program started is put on, if any.
    const AtSpiSession* m_accessibility { nullptr };
};

QString TestEndToEnd::resultPath() const
{
    if (!wineProgram().isEmpty())
        return winePrefix() + QStringLiteral("/drive_c/Result.txt");
    return m_drive->filePath(QStringLiteral("Result.txt"));
}

QString TestEndToEnd::devices() const
{
    if (!wineProgram().isEmpty())
        return winePrefix() + QStringLiteral("/dosdevices");
    return m_config->filePath(QStringLiteral("reccap/dosdevices"));
}

void TestEndToEnd::initTestCase()
{
    if (!wineProgram().isEmpty())
        QVERIFY2(QFileInfo::exists(winePrefix() + QStringLiteral("/drive_c")),
            "RECCAP_E2E_WINEPREFIX names no Wine prefix");
    QVERIFY2(m_xvfb.start(), qPrintable(m_xvfb.errorString()));
}

void TestEndToEnd::init()
{
    m_display = m_xvfb.display();
    m_desktop = std::make_unique<DesktopDriver>(m_display);
    m_config = std::make_unique<QTemporaryDir>();
    m_drive = std::make_unique<QTemporaryDir>();
    if (!wineProgram().isEmpty()) {
        // Drive C is the prefix's own; each case starts without a result file.
        QFile::remove(resultPath());
        QVERIFY(!QFile::exists(resultPath()));
        return;
    }
    QVERIFY(QDir().mkpath(devices()));
    QVERIFY(QFile::link(m_drive->path(), devices() + QStringLiteral("/c:")));
}

void TestEndToEnd::cleanup()
{
    m_reccapArguments.clear();
    m_traceVariable.clear();
    if (m_reccap) {
        // Under Wine a signal ends the process in the middle of whatever it was doing, a write
        // to the line included, and the next program's start has been seen to stall behind
        // the server's clearing up after it; a closed window ends it as Windows would.
        endReccap();
        if (!m_reccap->waitForFinished(10000))
            m_reccap->kill();
        m_reccap->waitForFinished(5000);
    }
    m_reccap.reset();
    m_nobodyCopy.reset();
    m_sim.reset();
    m_window = 0;
}

bool TestEndToEnd::startSim(const QStringList& arguments)
{
    m_sim = std::make_unique<SimProcess>();
    return m_sim->start(QStringLiteral(SIM_BINARY),
        QStringList { QStringLiteral("--link"), devices(), QStringLiteral("--hold"),
            QStringLiteral("--resend-ms"), QStringLiteral("300") }
            + arguments);
}

QProcessEnvironment TestEndToEnd::reccapEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config->path());
    if (wineProgram().isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    } else {
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("WINEPREFIX"), winePrefix());
        if (!environment.contains(QStringLiteral("WINEDEBUG")))
            environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    }
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    environment.remove(QStringLiteral("RECCAP_TRACE"));
    if (!m_traceVariable.isEmpty())
        environment.insert(QStringLiteral("RECCAP_TRACE"), m_traceVariable);
    if (m_accessibility)
        environment = m_accessibility->environment(environment);
    return environment;
}

// The program as the user nobody, so that folder and lock permissions count. It runs from a
// copy that nobody may read, since the build folder may lie in root's home; the leak checker's
// suppressions, when set, go along for the same reason.
bool TestEndToEnd::startReccapAsNobody()
{
    m_nobodyCopy = std::make_unique<QTemporaryDir>();
    const QString binary = m_nobodyCopy->filePath(QStringLiteral("reccap"));
    const QString suppressions = m_nobodyCopy->filePath(QStringLiteral("lsan-suppressions.txt"));
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadOther | QFile::ExeOther;
    if (!QFile::copy(QStringLiteral(RECCAP_BINARY), binary)
        || !QFile::setPermissions(m_nobodyCopy->path(), readable))
        return false;
    QString leakOptions = qEnvironmentVariable("LSAN_OPTIONS");
    static const QRegularExpression suppressionFile(QStringLiteral("(^|:)suppressions=([^:]*)"));
    if (const auto match = suppressionFile.match(leakOptions); match.hasMatch()) {
        if (!QFile::copy(match.captured(2), suppressions)
            || !QFile::setPermissions(suppressions, readable))
            return false;
        leakOptions.replace(match.capturedStart(2), match.capturedLength(2), suppressions);
    }
    return startReccap({ QStringLiteral("env"), QStringLiteral("LSAN_OPTIONS=") + leakOptions,
        QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
        QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"), binary });
}

bool TestEndToEnd::startReccap(const QStringList& asUser)
{
    m_reccap = std::make_unique<QProcess>();
    m_reccap->setProcessEnvironment(reccapEnvironment());
    m_reccap->setProcessChannelMode(QProcess::ForwardedChannels);
    if (!asUser.isEmpty())
        m_reccap->start(asUser.first(), asUser.mid(1));
    else if (wineProgram().isEmpty())
        m_reccap->start(QStringLiteral(RECCAP_BINARY), m_reccapArguments);
    else
        m_reccap->start(QStringLiteral("wine"), QStringList { wineProgram() } + m_reccapArguments);
    if (!m_reccap->waitForStarted(10000))
        return false;
    m_window = m_desktop->findWindow(QStringLiteral("^COM$"), waitMs);
    return m_window != 0;
}

void TestEndToEnd::endReccap()
{
    if (m_reccap->state() == QProcess::NotRunning)
        return;
    if (wineProgram().isEmpty()) {
        m_reccap->terminate();
        return;
    }
    // Without /f, taskkill asks the program's windows to close, as Windows does at logoff. The
    // program may be named by its Windows path.
    const QString program = wineProgram();
    const QString name
        = program.mid(std::max(program.lastIndexOf(u'/'), program.lastIndexOf(u'\\')) + 1);
    QProcess taskkill;
    taskkill.setProcessEnvironment(reccapEnvironment());
    taskkill.start(
        QStringLiteral("wine"), { QStringLiteral("taskkill"), QStringLiteral("/im"), name });
    taskkill.waitForFinished(waitMs);
}

QByteArray TestEndToEnd::result() const
{
    QFile file(resultPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestEndToEnd::shouldWriteEachOfThreeRecordsInTurn()
{
    // Slow pieces keep the lamp blue for a while, and the pause between records keeps it
    // green, so each state can be seen on the screen.
    QVERIFY(startSim({ "--count", "3", "--id", "1", "--id-step", "1", "--pieces", "60,60",
        "--piece-delay-ms", "600", "--record-delay-ms", "1500" }));
    QVERIFY(startReccap());
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);

    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);
    for (int record = 1; record <= 3; ++record) {
        QTRY_COMPARE_WITH_TIMEOUT(
            result(), resultLine(QStringLiteral("0000%1 ").arg(record)), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
    }

    QVERIFY(click(commBreak));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    QCOMPARE(m_reccap->state(), QProcess::Running);
}

void TestEndToEnd::shouldRejectDamagedRecordAndCaptureTheResentOne()
{
    {
        QFile previous(resultPath());
        QVERIFY(previous.open(QIODevice::WriteOnly));
        previous.write("previous\r\n");
    }
    QVERIFY(startSim({ "--bad-first-char" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    QVERIFY(m_desktop->findWindow(QStringLiteral("^通信エラー$"), waitMs) != 0);
    QCOMPARE(result(), QByteArray("previous\r\n"));
    QCOMPARE(lamp(), blue);

    // The instrument sends the record again, this time whole; the operator presses OK.
    QVERIFY(startSim({ "--id", "7" }));
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!m_desktop->windowExists(QStringLiteral("^通信エラー$")), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00007 ")), waitMs);
}

// A result folder that is not there, at Comm Open and again when a header comes (a share
// unmounted between two records): no ACK reaches the instrument, which keeps the record and sends
// it again; the box names the file; once the folder is back, Comm Open captures.
void TestEndToEnd::shouldAnswerNoRecordWhileResultFolderIsGone()
{
    if (!wineProgram().isEmpty())
        QSKIP("Drive C of the Wine prefix is the prefix's own folder");
    const QString folder = m_drive->path();
    const QString away = folder + QStringLiteral(".away");
    auto restore = qScopeGuard([&] { QDir().rename(away, folder); });
    const QString box = QStringLiteral("^C:\\\\Result\\.txt$");
    QVERIFY(startSim({ "--count", "2", "--id", "1", "--id-step", "1", "--record-delay-ms", "4000",
        "--timeout-s", "120" }));
    QVERIFY(startReccap());

    QVERIFY(QDir().rename(folder, away));
    QVERIFY(click(commOpen));
    QVERIFY(m_desktop->findWindow(box, waitMs) != 0);
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!m_desktop->windowExists(box), waitMs);
    QCOMPARE(lamp(), red);

    QVERIFY(QDir().rename(away, folder));
    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00001 ")), waitMs);
    QVERIFY(
        m_sim->waitForLine(QRegularExpression(QStringLiteral("^record 1: header-ack=1")), waitMs)
            .hasMatch());
    QVERIFY(QDir().rename(folder, away));
    QVERIFY(m_desktop->findWindow(box, waitMs) != 0);
    QCOMPARE(m_sim->lines().filter(QStringLiteral("record 2:")), QStringList());
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!m_desktop->windowExists(box), waitMs);
    QCOMPARE(lamp(), red);
    restore.dismiss();
    QVERIFY(QDir().rename(away, folder));
    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00002 ")), waitMs);
    QVERIFY(
        m_sim->waitForLine(QRegularExpression(QStringLiteral("^record 2: header-ack=1")), waitMs)
            .hasMatch());
    QCOMPARE(m_reccap->state(), QProcess::Running);
}

void TestEndToEnd::shouldGiveUpRecordCutOffMidBodyAndWriteTheNextPersonWhole_data()
{
    QTest::addColumn<int>("cutAfter");
    // How person B follows: after a silence, or at once as from an instrument reset mid-record
    // (then B is sent twice, the second time after the "please resend" box).
    QTest::addColumn<QStringList>("next");

    const QStringList afterSilence { "--count", "2", "--record-delay-ms", "1500" };
    const QStringList atOnce { "--count", "3", "--next-at-once" };
    QTest::newRow("cut inside the ID") << 28 << afterSilence;
    QTest::newRow("cut after the fields") << 100 << afterSilence;
    QTest::newRow("next record at once, inside the cut ID") << 24 << atOnce;
    // A's 182 bytes hold 178 characters: B's header completes A's body, and B's body answers
    // the ACK that completed it.
    QTest::newRow("next record's header completing the cut body")
        << 178 << atOnce + QStringList { "--body-at-once" };
}

void TestEndToEnd::shouldGiveUpRecordCutOffMidBodyAndWriteTheNextPersonWhole()
{
    QFETCH(int, cutAfter);
    QFETCH(QStringList, next);

    // Person A's body stops short; then person B is sent whole.
    const QString people = m_config->filePath(QStringLiteral("people.tsv"));
    {
        QFile file(people);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("11111\t山田太郎\tﾔﾏﾀﾞ ﾀﾛｳ\tS45.03.12\t1\n"
                                  "22222\t佐藤花子\tｻﾄｳ ﾊﾅｺ\tH02.11.30\t2\n"
                                  "22222\t佐藤花子\tｻﾄｳ ﾊﾅｺ\tH02.11.30\t2\n")
                       .toUtf8());
    }
    QVERIFY(startSim(
        QStringList { "--people", people, "--cut-after", QString::number(cutAfter) } + next));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));

    // The cut record is given up like a damaged one; nothing of it reaches the file.
    QVERIFY(m_desktop->findWindow(QStringLiteral("^通信エラー$"), waitMs) != 0);
    QVERIFY(!QFile::exists(resultPath()));
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    const QByteArray personB
        = *Cp932Encoder::encode(QStringLiteral("\"22222 \",\"H02.11.30\",\"佐藤花子\",\"2\"\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(result(), personB, waitMs);
    const QString last = next.at(next.indexOf(QStringLiteral("--count")) + 1);
    QVERIFY(
        m_sim
            ->waitForLine(
                QRegularExpression(QStringLiteral("^record %1: .*result=sent").arg(last)), waitMs)
            .hasMatch());
    QCOMPARE(result(), personB);
}

void TestEndToEnd::shouldCaptureBodySentTheMomentTheHeaderIsAnswered()
{
    // A fast instrument: the body follows the header's ACK at once, twenty times over.
    QVERIFY(startSim({ "--count", "20", "--id", "1", "--id-step", "1", "--body-at-once" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));

    QVERIFY(
        m_sim->waitForLine(QRegularExpression(QStringLiteral("^record 20: .*result=sent")), waitMs)
            .hasMatch());
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00020 ")), waitMs);
    // A body lost to a discard turns the next header into a rejected body.
    QVERIFY(!m_desktop->windowExists(QStringLiteral("^通信エラー$")));
}

void TestEndToEnd::stallReccap(std::chrono::milliseconds length, int queued, bool instrumentWaits)
{
    const auto pid = pid_t(m_reccap->processId());
    const auto state = [pid] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return '?';
        const QByteArray line = stat.readAll();
        const qsizetype at = line.lastIndexOf(')');
        return at < 0 || at + 2 >= line.size() ? '?' : line.at(at + 2);
    };
    // What the instrument sent waits in the line's input queue for the program to read it.
    const int line = ::open(QFile::encodeName(devices() + QStringLiteral("/com3")).constData(),
        O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(line >= 0);
    const auto closeLine = qScopeGuard([line] { ::close(line); });
    const auto waiting = [line] {
        int bytes = 0;
        return ::ioctl(line, TIOCINQ, &bytes) == 0 ? bytes : -1;
    };
    const QDeadlineTimer stallEnds(length);
    const auto sim = pid_t(m_sim->processId());
    if (instrumentWaits)
        QCOMPARE(::kill(sim, SIGSTOP), 0);
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QTRY_COMPARE_WITH_TIMEOUT(state(), 'T', waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        stallEnds.hasExpired() && waiting() >= queued, int(length.count()) + waitMs);
    QCOMPARE(::kill(pid, SIGCONT), 0);
    if (instrumentWaits)
        QCOMPARE(::kill(sim, SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(state() != 'T', waitMs);
}

void TestEndToEnd::shouldAnswerWhateverTheDeskIsDoing_data()
{
    QTest::addColumn<QStringList>("instrument");
    // Where the program stands still for 2 s: nowhere, in the header wait, or in the body.
    QTest::addColumn<QString>("stall");

    // A USB serial adapter between them: 16 ms each way.
    const QStringList usb { "--latency-ms", "16" };
    QTest::newRow("body starting 3 s after the header's ACK")
        << QStringList { "--body-delay-ms", "3000" } << QString();
    QTest::newRow("noise, then the header re-sent every 0.5 s")
        << QStringList { "--noise", "00", "--resend-every-ms", "500" } << QString();
    // The first header comes a second after the port opens, into the stall; its copies queue.
    QTest::newRow("stalled in the header wait while the header is re-sent")
        << usb + QStringList { "--resend-every-ms", "500", "--quiet-ms", "1000" }
        << QStringLiteral("header");
    // Stopped before the body's first character: the slow instrument's body comes after it.
    QTest::newRow("stalled right after the header's ACK")
        << usb + QStringList { "--body-delay-ms", "500", "--piece-size", "10" }
        << QStringLiteral("body");
    // The instrument sends each piece only after four ACKs; none come while the program
    // stands, so the line is quiet throughout, and after it the instrument answers our first
    // ACKs 32 ms later.
    QTest::newRow("stalled in the body, the instrument waiting for ACKs") << usb
            + QStringList { "--piece-size", "10", "--piece-delay-ms", "100", "--resend-ms", "5000" }
                                                                          << QStringLiteral("body");
}

void TestEndToEnd::shouldAnswerWhateverTheDeskIsDoing()
{
    QFETCH(QStringList, instrument);
    QFETCH(QString, stall);
    if (!stall.isEmpty() && !wineProgram().isEmpty())
        QSKIP("Wine's processes are stopped and resumed only as Linux ones, outside Windows");

    QVERIFY(startSim(instrument));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    if (stall == QLatin1String("header")) {
        QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
        stallReccap(std::chrono::seconds(2), 8);
    } else if (stall == QLatin1String("body")) {
        QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);
        stallReccap(std::chrono::seconds(2), 0, true);
    }

    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("12345 ")), 3 * waitMs);
    QVERIFY(
        m_sim->waitForLine(QRegularExpression(QStringLiteral("^record 1: .*result=sent")), waitMs)
            .hasMatch());
    QVERIFY(!m_desktop->windowExists(QStringLiteral("^通信エラー$")));
}

void TestEndToEnd::shouldStopOnBreakDuringBodyAndOpenAgain_data()
{
    QTest::addColumn<QStringList>("instrument");
    QTest::newRow("body stalled between pieces")
        << QStringList { "--pieces", "40", "--piece-delay-ms", "20000" };
    // Every poll finds a byte and answers it: a loop that kept reading without letting the
    // window's events through would act on the click only when the body is complete.
    QTest::newRow("body streaming a byte at a time")
        << QStringList { "--pieces-in-bytes", "--piece-size", "1", "--piece-delay-ms", "20" };
}

void TestEndToEnd::shouldStopOnBreakDuringBodyAndOpenAgain()
{
    QFETCH(QStringList, instrument);
    const QString trace = m_config->filePath(QStringLiteral("break.trace"));
    m_reccapArguments = { QStringLiteral("--trace"), trace };
    QVERIFY(startSim(instrument));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);

    QElapsedTimer sinceClick;
    sinceClick.start();
    QVERIFY(click(commBreak));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    // The break holds the line for a second from the moment it is set, and the lamp turns red
    // only after it: red within 1.5 s of the click means the break began within 0.5 s of it.
    QVERIFY2(sinceClick.elapsed() <= breakMs + 500,
        qPrintable(QStringLiteral("red %1 ms after the click").arg(sinceClick.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(fileContains(trace, " break on"), waitMs);
    QVERIFY(!QFile::exists(resultPath()));

    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
    QVERIFY(!QFile::exists(resultPath()));
}

void TestEndToEnd::shouldEndAtOnceOnAbortChunk()
{
    QVERIFY(startSim({ "--abort", "--abort-after-chars", "20" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));

    QVERIFY(m_reccap->waitForFinished(waitMs));
    QCOMPARE(m_reccap->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_reccap->exitCode(), 0);
    QVERIFY(
        m_sim->waitForLine(
                 QRegularExpression(QStringLiteral("^record 1: .*result=aborted")), waitMs)
            .hasMatch());
    QVERIFY(!QFile::exists(resultPath()));
}

void TestEndToEnd::shouldWriteRecordWithKInsideNameAtLinePace()
{
    // One byte a read, as a receiver polling once per character time sees the line: every K of
    // the name comes as a read of its own, some of them before the first byte of a kanji.
    const QString name = QStringLiteral("K山K田太郎K");
    QVERIFY(startSim({ "--kanji", name, "--kana", "ｶ Kﾀﾛｳ", "--pieces-in-bytes", "--piece-size",
        "1", "--piece-delay-ms", "1" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));

    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("12345 "), name), waitMs);
    QCOMPARE(m_reccap->state(), QProcess::Running);
}

void TestEndToEnd::shouldReleasePortOnSignalSoAnotherUserCapturesAtOnce_data()
{
    QTest::addColumn<QString>("wait");
    // The signal sent, or 0: the display goes away, as at the end of a session.
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("SIGTERM in the header wait") << "header" << SIGTERM << 128 + SIGTERM;
    QTest::newRow("SIGTERM in the body wait") << "body" << SIGTERM << 128 + SIGTERM;
    QTest::newRow("SIGTERM in the break's wait") << "break" << SIGTERM << 128 + SIGTERM;
    QTest::newRow("SIGHUP in the body wait") << "body" << SIGHUP << 128 + SIGHUP;
    QTest::newRow("display gone in the body wait") << "body" << 0 << 1;
}

void TestEndToEnd::shouldReleasePortOnSignalSoAnotherUserCapturesAtOnce()
{
    if (!wineProgram().isEmpty())
        QSKIP("signals, port lock files, other users and X displays are the Linux program's");
    QFETCH(QString, wait);
    QFETCH(int, signal);
    QFETCH(int, exitCode);

    // The test plays the instrument itself, so that both runs share one line and one lock.
    PtyPair line;
    QVERIFY(line.isValid() && line.linkAsPort(devices(), 3));
    const QByteArray body = RecordBody::build(RecordFields {}).bytes();
    QByteArray fromProgram;
    const auto acks = [&] {
        fromProgram += line.readAvailable();
        return fromProgram.count('\x06');
    };
    // A header written before the program's discard on opening is lost; the instrument sends
    // it again, as the real one does, until it is answered.
    const auto sendHeader = [&] {
        const int before = acks();
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!line.write("R001"))
                return false;
            QDeadlineTimer answer(500);
            while (!answer.hasExpired()) {
                if (acks() > before)
                    return true;
                QTest::qWait(10);
            }
        }
        return false;
    };
    const QString lock = portLockFile(line.slavePath());

    XvfbServer leaving;
    if (signal == 0) {
        QVERIFY2(leaving.start(), qPrintable(leaving.errorString()));
        m_display = leaving.display();
        m_desktop = std::make_unique<DesktopDriver>(m_display);
    }
    QVERIFY(startReccap());
    if (wait == QLatin1String("break")) {
        QVERIFY(click(commBreak));
    } else {
        QVERIFY(click(commOpen));
        if (wait == QLatin1String("body")) {
            QVERIFY(sendHeader());
            QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);
            QVERIFY(line.write(body.left(40)));
        }
    }
    // The port is open (during a break from idle only for its second): the lock is held.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), waitMs);
    if (signal != 0)
        QCOMPARE(::kill(pid_t(m_reccap->processId()), signal), 0);
    else
        leaving.stop();
    QVERIFY(m_reccap->waitForFinished(waitMs));
    QVERIFY2(!QFile::exists(lock), qPrintable(lock));
    QCOMPARE(m_reccap->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_reccap->exitCode(), exitCode);
    m_display = m_xvfb.display();
    m_desktop = std::make_unique<DesktopDriver>(m_display);
    QVERIFY(!QFile::exists(resultPath()));

    // Another user, allowed the line and the result folder, captures the next record at once.
    QVERIFY(QFile::setPermissions(m_config->path(),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
            | QFile::ExeOther));
    QCOMPARE(::chmod(QFile::encodeName(m_drive->path()).constData(), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(line.slavePath()).constData(), 0666), 0);
    QVERIFY(startReccapAsNobody());
    QVERIFY(click(commOpen));
    QVERIFY(sendHeader());
    QVERIFY(line.write(body));
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("12345 ")), waitMs);
    QCOMPARE(QFileInfo(resultPath()).ownerId(), 65534u);

    // Ended before the line goes away, which it would otherwise report as a lost device.
    m_reccap->terminate();
    QVERIFY(m_reccap->waitForFinished(waitMs));
    QCOMPARE(m_reccap->exitCode(), 128 + SIGTERM);
    QVERIFY(!QFile::exists(lock));
}

void TestEndToEnd::shouldRefuseToStartTwiceOrWithoutDisplay_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("message");

    const QString english = QStringLiteral("C.UTF-8");
    // Not generated on every machine; the program reads the operator's language from the name.
    const QString japanese = QStringLiteral("ja_JP.UTF-8");
    QTest::newRow("second instance on the same display") << "same" << english << "already running";
    QTest::newRow("second instance, Japanese desk") << "same" << japanese << "すでに実行中です";
    QTest::newRow("no display") << "none" << english << "DISPLAY is not set";
    QTest::newRow("no display, Japanese desk")
        << "none" << japanese << "DISPLAY が設定されていません";
    // Setting DISPLAY would be the wrong advice: the package is what is missing.
    QTest::newRow("Wayland without Qt's Wayland platform")
        << "wayland" << english << "install the package qt6-wayland";
    QTest::newRow("Wayland without Qt's Wayland platform, Japanese desk")
        << "wayland" << japanese << "パッケージ qt6-wayland をインストールしてください";
}

void TestEndToEnd::shouldRefuseToStartTwiceOrWithoutDisplay()
{
    if (!wineProgram().isEmpty())
        QSKIP("signals, port lock files, other users and X displays are the Linux program's");
    QFETCH(QString, display);
    QFETCH(QString, locale);
    QFETCH(QString, message);
    const bool withDisplay = display == QLatin1String("same");

    QProcessEnvironment environment = reccapEnvironment();
    QString program = QStringLiteral(RECCAP_BINARY);
    const QTemporaryDir copy;
    if (withDisplay) {
        QVERIFY(startReccap());
    } else {
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }
    if (display == QLatin1String("wayland")) {
        // A copy whose qt.conf sends Qt to an empty plugin folder: as on a machine without
        // qt6-wayland, Qt finds no Wayland platform.
        program = copy.filePath(QStringLiteral("reccap"));
        QVERIFY(QFile::copy(QStringLiteral(RECCAP_BINARY), program));
        QVERIFY(QDir().mkpath(copy.filePath(QStringLiteral("plugins"))));
        QFile conf(copy.filePath(QStringLiteral("qt.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[Paths]\nPlugins = plugins\n");
        conf.close();
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-reccap"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    }
    environment.remove(QStringLiteral("LANGUAGE"));
    environment.insert(QStringLiteral("LANG"), locale);
    environment.insert(QStringLiteral("LC_ALL"), locale);
    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(program, QStringList());
    QVERIFY(second.waitForStarted(10000));
    if (withDisplay) {
        // The operator reads the box and presses OK.
        QVERIFY(m_desktop->findWindow(QStringLiteral("^reccap$"), waitMs) != 0);
        QVERIFY(m_desktop->key(QStringLiteral("Return")));
    }
    QVERIFY(second.waitForFinished(waitMs));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    const QStringList lines
        = QString::fromUtf8(second.readAllStandardError()).split(QLatin1Char('\n'));
    const QStringList ours = lines.filter(QStringLiteral("reccap: "));
    QCOMPARE(ours.size(), 1);
    QVERIFY2(ours.first().contains(message), qPrintable(ours.first()));
    if (withDisplay)
        QCOMPARE(m_reccap->state(), QProcess::Running);
    else
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("\\S"))), ours);
}

void TestEndToEnd::shouldRunOncePerWaylandSession()
{
    if (!wineProgram().isEmpty())
        QSKIP("Wayland sessions are the Linux program's");

    // A Wayland session of its own: a headless compositor with its socket in a private folder.
    QTemporaryDir runtime;
    QVERIFY(QFile::setPermissions(
        runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcess compositor;
    QProcessEnvironment session = QProcessEnvironment::systemEnvironment();
    session.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    compositor.setProcessEnvironment(session);
    compositor.setStandardOutputFile(QProcess::nullDevice());
    compositor.setStandardErrorFile(QProcess::nullDevice());
    compositor.start(QStringLiteral("weston"),
        { QStringLiteral("--backend=headless-backend.so"),
            QStringLiteral("--socket=wayland-reccap"), QStringLiteral("--idle-time=0") });
    QVERIFY2(compositor.waitForStarted(10000), "weston is not installed");
    const auto endCompositor = qScopeGuard([&compositor] { endProcess(compositor); });
    const QString socket = runtime.filePath(QStringLiteral("wayland-reccap"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(socket).exists(), waitMs);

    // The lock folder the programs use: the runtime folder is taken from them.
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    const QDir locks(LockFiles::userFolder());
    if (!savedRuntime.isNull())
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    const auto waylandLocks
        = [&locks] { return locks.entryList({ QStringLiteral("wayland-*.lock") }, QDir::Files); };
    const QStringList before = waylandLocks();

    // The first on Qt's Wayland platform, knowing only the Wayland display...
    QProcess first;
    QProcessEnvironment onWayland = reccapEnvironment();
    onWayland.remove(QStringLiteral("DISPLAY"));
    onWayland.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    onWayland.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    first.setProcessEnvironment(onWayland);
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QStringLiteral(RECCAP_BINARY), QStringList());
    QVERIFY(first.waitForStarted(10000));
    const auto endFirst = qScopeGuard([&first] { endProcess(first); });
    QTRY_VERIFY_WITH_TIMEOUT(waylandLocks().size() > before.size(), waitMs);

    // ...and the second on the X display of the same session, knowing both.
    QProcess second;
    QProcessEnvironment onX = reccapEnvironment();
    onX.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    second.setProcessEnvironment(onX);
    second.start(QStringLiteral(RECCAP_BINARY), QStringList());
    QVERIFY(second.waitForStarted(10000));
    QVERIFY(m_desktop->findWindow(QStringLiteral("^reccap$"), waitMs) != 0);
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QVERIFY(second.waitForFinished(waitMs));
    QCOMPARE(second.exitCode(), 1);
    const QString said = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("already running")), qPrintable(said));
    QCOMPARE(first.state(), QProcess::Running);
}

void TestEndToEnd::shouldBringRunningWindowForwardOnSecondStart()
{
    if (!wineProgram().isEmpty())
        QSKIP("the covering window is an X program's, which Windows' stacking does not know");

    QVERIFY(startReccap());
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    // Another program's window over the lamp, as the operator's other work covers reccap.
    const QPoint at = m_desktop->position(m_window);
    QVERIFY(at.x() >= 0);
    QProcess cover;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    cover.setProcessEnvironment(environment);
    cover.start(QStringLiteral("xlogo"),
        { QStringLiteral("-geometry"),
            QStringLiteral("100x60+%1+%2").arg(at.x() + lampCentre.x() - 50).arg(at.y()) });
    QVERIFY2(cover.waitForStarted(10000), "xlogo (x11-apps) is not installed");
    const auto endCover = qScopeGuard([&cover] { endProcess(cover); });
    QVERIFY(m_desktop->findWindow(QStringLiteral("^xlogo$"), waitMs) != 0);
    // An unreadable screenshot is no proof that the lamp is covered.
    const auto covered = [this] {
        const QColor seen = lamp();
        return seen.isValid() && seen != red;
    };
    QTRY_VERIFY_WITH_TIMEOUT(covered(), waitMs);

    QProcess second;
    second.setProcessEnvironment(reccapEnvironment());
    second.start(QStringLiteral(RECCAP_BINARY), QStringList());
    QVERIFY(second.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    // Then it says why it does not open a window of its own, and goes.
    QVERIFY(m_desktop->findWindow(QStringLiteral("^reccap$"), waitMs) != 0);
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QVERIFY(second.waitForFinished(waitMs));
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(m_reccap->state(), QProcess::Running);
}

void TestEndToEnd::shouldReportAdapterPulledDuringHeaderWaitOnce_data()
{
    QTest::addColumn<bool>("readLeftPending");

    // The slave hung up: the read waiting on the line ends with an error.
    QTest::newRow("line hung up") << false;
    // A driver that leaves the waiting read standing when its adapter goes, and fails only the
    // requests that follow. The null line discipline plays it: reads wait for ever, and the
    // queue-size requests behind a status query fail.
    QTest::newRow("driver leaves the read waiting") << true;
}

void TestEndToEnd::shouldReportAdapterPulledDuringHeaderWaitOnce()
{
    QFETCH(bool, readLeftPending);
    if (readLeftPending && wineProgram().isEmpty())
        QSKIP("a Linux terminal whose device goes away is always hung up");

    PtyPair line;
    QVERIFY(line.isValid() && line.linkAsPort(devices(), 3));
    // Our own view of the program's end of the line, taken before the program claims it.
    const int slave
        = ::open(QFile::encodeName(line.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(slave >= 0);
    const auto closeSlave = qScopeGuard([slave] { ::close(slave); });

    // The report is read from standard error as it comes, to time it.
    m_reccap = std::make_unique<QProcess>();
    m_reccap->setProcessEnvironment(reccapEnvironment());
    m_reccap->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_reccap->setReadChannel(QProcess::StandardError);
    if (wineProgram().isEmpty())
        m_reccap->start(QStringLiteral(RECCAP_BINARY), QStringList());
    else
        m_reccap->start(QStringLiteral("wine"), QStringList { wineProgram() });
    QVERIFY(m_reccap->waitForStarted(10000));
    m_window = m_desktop->findWindow(QStringLiteral("^COM$"), waitMs);
    QVERIFY(m_window != 0);
    QVERIFY(click(commOpen));

    // Wait until the program is past opening the line, so the loss meets the header wait.
    // Bytes sent before it sets the line up wait unseen in the terminal's line editing; after
    // that, opening discards what waits at most twice, in one burst. So once three bytes,
    // each sent after the one before had gone, are gone, the line is open and being read.
    const auto configured = [slave] {
        termios mode {};
        return ::tcgetattr(slave, &mode) == 0 && !(mode.c_lflag & ICANON)
            && ::cfgetispeed(&mode) == B9600;
    };
    QTRY_VERIFY_WITH_TIMEOUT(configured(), waitMs);
    // poll() first hands the terminal what the master wrote; until the kernel's worker does,
    // a byte just sent would look taken.
    const auto unread = [slave] {
        pollfd readable { slave, POLLIN, 0 };
        return ::poll(&readable, 1, 0) == 1 && (readable.revents & POLLIN);
    };
    for (int noise = 0; noise < 3; ++noise) {
        QVERIFY(line.write("."));
        QTRY_VERIFY_WITH_TIMEOUT(!unread(), waitMs);
    }

    if (readLeftPending) {
        int discipline = N_NULL;
        if (::ioctl(slave, TIOCSETD, &discipline) != 0)
            QSKIP("this kernel has no null line discipline");
    } else {
        line.closeMaster();
    }

    // One status query a second finds the loss on any driver.
    QByteArray errors;
    const QDeadlineTimer reportDue(2000);
    while (!errors.contains("reccap: Lost COM3") && !reportDue.hasExpired()) {
        m_reccap->waitForReadyRead(int(std::max<qint64>(reportDue.remainingTime(), 1)));
        errors += m_reccap->readAllStandardError();
    }
    QVERIFY2(errors.contains("reccap: Lost COM3"), "no report within 2 s: " + errors);
    // The operator reads what happened, not the system's words for a missing file.
    if (wineProgram().isEmpty())
        QVERIFY2(errors.contains("the device is gone") && !errors.contains("No such file"),
            errors.constData());

    QVERIFY(m_desktop->findWindow(QStringLiteral("^reccap$"), waitMs) != 0);
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QVERIFY(m_reccap->waitForFinished(waitMs));
    QCOMPARE(m_reccap->exitCode(), 1);
    errors += m_reccap->readAllStandardError();
    const QStringList reports
        = QString::fromUtf8(errors).split(QLatin1Char('\n')).filter(QStringLiteral("reccap: "));
    QCOMPARE(reports.size(), 1);
}

int TestEndToEnd::replay(const QString& trace)
{
    m_sim = std::make_unique<SimProcess>();
    if (!m_sim->start(QStringLiteral(SIM_BINARY),
            { QStringLiteral("--link"), devices(), QStringLiteral("--hold"),
                QStringLiteral("--replay"), trace, QStringLiteral("--result"), resultPath() }))
        return -1;
    if (!startReccap() || !click(commOpen))
        return -1;
    static const QRegularExpression done(QStringLiteral("^replay: (\\d+) difference"));
    const QDeadlineTimer deadline(2 * waitMs);
    QRegularExpressionMatch match;
    while (!(match = m_sim->waitForLine(done, 250)).hasMatch() && !deadline.hasExpired()) {
        if (m_desktop->windowExists(QStringLiteral("^通信エラー$")))
            m_desktop->key(QStringLiteral("Return"));
    }
    if (!match.hasMatch() || match.captured(1) != QLatin1String("0"))
        qWarning().noquote() << m_sim->lines().join(u'\n');
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void TestEndToEnd::shouldReplayRecordedTraceToTheSameResultAndOutcomes_data()
{
    QTest::addColumn<QStringList>("instrument");
    // The instrument the operator has send the record again after the "please resend" box.
    QTest::addColumn<QStringList>("resent");
    QTest::addColumn<bool>("aborts");

    QTest::newRow("good record") << QStringList {} << QStringList {} << false;
    QTest::newRow("rejected record, then the resent one")
        << QStringList { "--bad-first-char" } << QStringList { "--id", "7" } << false;
    QTest::newRow("K in a name at line pace") << QStringList { "--kanji", "K山K田太郎K", "--kana",
        "ｶ Kﾀﾛｳ", "--pieces-in-bytes", "--piece-size", "1", "--piece-delay-ms", "1" }
                                              << QStringList {} << false;
    QTest::newRow("lone K abort") << QStringList { "--abort", "--abort-after-chars", "20" }
                                  << QStringList {} << true;
    QTest::newRow("line noise before a header")
        << QStringList { "--noise", "ff0081" } << QStringList {} << false;
}

void TestEndToEnd::shouldReplayRecordedTraceToTheSameResultAndOutcomes()
{
    QFETCH(QStringList, instrument);
    QFETCH(QStringList, resent);
    QFETCH(bool, aborts);

    // What a desk records, on the command line.
    const QString recorded = m_config->filePath(QStringLiteral("recorded.trace"));
    m_reccapArguments = { QStringLiteral("--trace"), recorded };
    QVERIFY(startSim(instrument));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    if (!resent.isEmpty()) {
        QVERIFY(m_desktop->findWindow(QStringLiteral("^通信エラー$"), waitMs) != 0);
        QVERIFY(startSim(resent));
        QVERIFY(m_desktop->key(QStringLiteral("Return")));
    }
    // The trace reaches the disk with the port closed; a written record's line is there once
    // the port opens for the next one, and the program handles a signal only after that.
    if (!aborts) {
        QTRY_VERIFY_WITH_TIMEOUT(fileContains(recorded, " written "), waitMs);
        endReccap();
    }
    QVERIFY(m_reccap->waitForFinished(waitMs));
    const QByteArray recordedResult = result();
    const QStringList recordedOutcomes = outcomes(recorded);
    QVERIFY2(recordedOutcomes.size() == 1 + (resent.isEmpty() ? 0 : 1),
        qPrintable(recordedOutcomes.join(u'\n')));
    if (wineProgram().isEmpty())
        QCOMPARE(QFileInfo(recorded).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
            QFile::ReadOwner | QFile::WriteOwner);
    if (const QString keep = qEnvironmentVariable("RECCAP_E2E_KEEP_TRACES"); !keep.isEmpty()) {
        const QString name
            = QString::fromUtf8(QTest::currentDataTag())
                  .toLower()
                  .replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
        QFile::remove(keep + u'/' + name + QStringLiteral(".trace"));
        QVERIFY(QFile::copy(recorded, keep + u'/' + name + QStringLiteral(".trace")));
    }

    // What a maintainer replays, against a fresh program traced through the environment, as
    // a shortcut would set it.
    QFile::remove(resultPath());
    const QString replayed = m_config->filePath(QStringLiteral("replayed.trace"));
    m_reccapArguments.clear();
    m_traceVariable = replayed;
    QCOMPARE(replay(recorded), 0);
    if (aborts) {
        QVERIFY(m_reccap->waitForFinished(waitMs));
        QCOMPARE(m_reccap->exitCode(), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(fileContains(replayed, " written "), waitMs);
        endReccap();
        QVERIFY(m_reccap->waitForFinished(waitMs));
    }
    QCOMPARE(result(), recordedResult);
    QCOMPARE(outcomes(replayed), recordedOutcomes);
}

void TestEndToEnd::shouldReplayCheckedInTrace_data()
{
    QTest::addColumn<QString>("trace");

    const QDir folder(QStringLiteral(TRACES_DIR));
    const QStringList names = folder.entryList({ QStringLiteral("*.trace") }, QDir::Files);
    QVERIFY2(!names.isEmpty(), TRACES_DIR);
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << folder.filePath(name);
}

void TestEndToEnd::shouldReplayCheckedInTrace()
{
    QFETCH(QString, trace);

    // A desk's trace kept as a regression case: the program of today answers as that one did.
    QCOMPARE(replay(trace), 0);
}

void TestEndToEnd::shouldCaptureOnWhenTheTraceCannotBeWritten()
{
    if (!wineProgram().isEmpty())
        QSKIP("The file size limit is Linux's");
    // The trace fills up as on a full disk: the size limit lets the start through (the session
    // line, the 85-byte instance lock) and stops the trace at the first record, whose body
    // alone is 178 characters; the result file's 37 bytes stay below it. SIGXFSZ, ignored,
    // stays ignored across exec, so the write fails instead of ending the program.
    QTemporaryDir folder;
    const QString trace = folder.filePath(QStringLiteral("desk.trace"));
    QVERIFY(startSim({ "--count", "2", "--id", "1", "--id-step", "1" }));
    m_reccap = std::make_unique<QProcess>();
    m_reccap->setProcessEnvironment(reccapEnvironment());
    m_reccap->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_reccap->setChildProcessModifier([] {
        const rlimit limit { 256, 256 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
    });
    m_reccap->start(QStringLiteral(RECCAP_BINARY), { QStringLiteral("--trace"), trace });
    QVERIFY(m_reccap->waitForStarted(10000));
    m_window = m_desktop->findWindow(QStringLiteral("^COM$"), waitMs);
    QVERIFY(m_window != 0);
    QVERIFY(click(commOpen));

    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00002 ")), waitMs);
    QCOMPARE(m_reccap->state(), QProcess::Running);
    m_reccap->terminate();
    QVERIFY(m_reccap->waitForFinished(waitMs));
    const QStringList said = QString::fromUtf8(m_reccap->readAllStandardError())
                                 .split(u'\n')
                                 .filter(QStringLiteral("reccap: "));
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains(QStringLiteral("cannot write the trace ") + trace),
        qPrintable(said.first()));
}

void TestEndToEnd::shouldOpenWithReturnOnTheFocusedButton()
{
    QVERIFY(startSim({}));
    QVERIFY(startReccap());
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);

    // The window opens with the keyboard on "Comm Open".
    QVERIFY(m_desktop->focus(m_window));
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("12345 ")), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
}

void TestEndToEnd::shouldTellScreenReaderCaptionsAndLampStateInWords()
{
    if (!wineProgram().isEmpty())
        QSKIP("AT-SPI is the Linux desktop's accessibility interface");
    AtSpiSession session;
    QVERIFY2(session.start(), qPrintable(session.errorString()));
    m_accessibility = &session;
    // The program ends while the buses it is on are still there.
    const auto leaveBus = qScopeGuard([&] {
        cleanup();
        m_accessibility = nullptr;
    });
    // Listening before the program starts, as a screen reader is: the program learns at its
    // start which changes anybody listens for.
    Announcements announcements(session);
    QVERIFY(announcements.waitUntilListening());
    // Slow pieces keep the lamp blue long enough to be read back.
    QVERIFY(startSim({ "--pieces", "60,60", "--piece-delay-ms", "600" }));
    QVERIFY(startReccap());

    // The window is on the bus once its controls are.
    QList<QJsonObject> tree;
    const auto windowOnBus = [&] {
        tree = accessibleTree(session);
        return !accessible(tree, QStringLiteral("push button"), QStringLiteral("Comm Open"))
                    .isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(windowOnBus(), waitMs);
    const QStringList captions { "受信コマンド", "受信ID", "受信カナ氏名", "受信漢字氏名",
        "受信生年月日", "受信性別", "受付番号" };
    for (const QString& caption : captions) {
        const QJsonObject box = accessible(tree, QStringLiteral("text"), caption);
        QVERIFY2(!box.isEmpty(), qPrintable(caption));
        QCOMPARE(box.value(QLatin1String("labelledBy")).toArray(), QJsonArray { caption });
    }
    QVERIFY(
        !accessible(tree, QStringLiteral("text"), QStringLiteral("受信生年月日 (西暦)")).isEmpty());
    const QJsonObject lampBefore
        = accessible(tree, QStringLiteral("status bar"), QStringLiteral("停止"));
    QVERIFY(!lampBefore.isEmpty());
    QVERIFY(
        lampBefore.value(QLatin1String("description")).toString().startsWith(QStringLiteral("赤")));

    // Each change of the lamp is announced in words, in the order the operator sees the colours.
    const QString statusBar = QStringLiteral("status bar");
    QVERIFY(click(commOpen));
    QVERIFY2(announcements.waitForName(statusBar, QStringLiteral("受信待ち")),
        qPrintable(announcements.heard()));
    QVERIFY2(announcements.waitForName(statusBar, QStringLiteral("受信中")),
        qPrintable(announcements.heard()));
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("12345 ")), waitMs);
    QVERIFY2(announcements.waitForName(statusBar, QStringLiteral("受信待ち")),
        qPrintable(announcements.heard()));
    QVERIFY(click(commBreak));
    QVERIFY2(announcements.waitForName(statusBar, QStringLiteral("停止")),
        qPrintable(announcements.heard()));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
