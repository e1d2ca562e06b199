#include "cp932decoder.h"
#include "fakeserialcontrol.h"
#include "form1.h"
#include "lampshape.h"
#include "ptypair.h"
#include "qtserialcontrol.h"
#include "recordedwindow.h"
#include "singleinstance.h"
#include "tempdosdevices.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QColor red(255, 0, 0);
const QColor green(0, 255, 0);
const QColor blue(0, 0, 255);

const QByteArray previousLine("\"00007 \",\"S01.01.01\",\"old\",\"1\"\r\n");

const QByteArray kanji("\x8c\xa9\x96\x7b\x8e\x81\x96\xbc"); // 見本氏名

// A record body in the instrument's layout with the given kanji name and the 22 characters
// before the ID, padded past the minimum length. Every field lies well inside the first 178
// characters, so where the body wait happens to end does not matter.
QByteArray recordBody(const QByteArray& kanjiName = kanji,
    const QByteArray& beforeId = QByteArray(22, '.'), int padding = 200)
{
    QByteArray body = "\x06" + beforeId + "00123";
    for (const QByteArray& field :
        { QByteArray("001F1"), "002" + kanjiName, QByteArray("003\xd0\xce\xdd \xc0\xdb\xb3 "),
            QByteArray("004S45.03.12"), QByteArray("0052") })
        body += ",\x1b" + field + "\x1b";
    return body + QByteArray(padding, '.');
}

QByteArray resultLine(const QByteArray& kanjiName)
{
    return "\"00123 \",\"S45.03.12\",\"" + kanjiName + "\",\"2\"\r\n";
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

using Window = RecordedWindow<SerialControl>;

// The instrument's and the operator's part of a test, played from inside whatever wait the
// window is in: on every turn of the event loop the next step's condition is tested and, once
// it holds, the step runs. A watchdog closes the window if the script does not get through, so
// a hang fails the test instead of blocking the run.
class Script : public QObject {
public:
    void then(std::function<bool()> when, std::function<void()> action)
    {
        m_steps.append({ std::move(when), std::move(action) });
    }

    // Runs `top` (a click that returns when its handler does) with the script playing along.
    // True when every step ran and the watchdog did not have to step in.
    bool run(Form1& form, const std::function<void()>& top, int watchdogMs = 15000)
    {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, this, [&] {
            m_timedOut = true;
            form.close();
        });
        watchdog.start(watchdogMs);
        m_running = true;
        post();
        top();
        // What the click's handler left queued (a capture that starts once a break is over)
        // runs here too, under the watchdog.
        while (!m_timedOut && m_next < m_steps.size())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
        m_running = false;
        return !m_timedOut && m_next == m_steps.size();
    }

private:
    struct Step {
        std::function<bool()> when;
        std::function<void()> action;
    };

    void post() { QMetaObject::invokeMethod(this, &Script::tick, Qt::QueuedConnection); }
    void tick()
    {
        if (!m_running || m_next == m_steps.size())
            return;
        // The next turn is posted before the step runs: a step may nest a wait of its own
        // (a click on "Comm Break"), and the script goes on inside it.
        post();
        if (m_steps[m_next].when()) {
            const auto action = m_steps[m_next].action;
            ++m_next;
            action();
        }
    }

    QList<Step> m_steps;
    qsizetype m_next { 0 };
    bool m_running { false };
    bool m_timedOut { false };
};

// A capture loop's start disables "Comm Open"; a start that is refused leaves it alone.
class LoopStartCounter : public QObject {
public:
    explicit LoopStartCounter(QPushButton* open)
        : m_open(open)
    {
        open->installEventFilter(this);
    }
    int starts() const { return m_starts; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_open && event->type() == QEvent::EnabledChange && !m_open->isEnabled())
            ++m_starts;
        return false;
    }

private:
    QPushButton* m_open;
    int m_starts { 0 };
};

QMessageBox* commErrorBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    return box && box->objectName() == QLatin1String("CommErrorBox") ? box : nullptr;
}

// The other user of the machine: what a test plants where a lock belongs is given to nobody.
constexpr uid_t coUser = 65534;

// Sets an environment variable (a null value unsets it) until the scope ends.
class EnvironmentChange {
public:
    EnvironmentChange(const char* name, const QByteArray& value)
        : m_name(name)
        , m_wasSet(qEnvironmentVariableIsSet(name))
        , m_previous(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvironmentChange()
    {
        if (m_wasSet)
            qputenv(m_name, m_previous);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_previous;
};

// Runs `work` in a child process and returns what it wrote, or why it was stopped: a lock
// check that blocks, or reads without end, must fail its row, not hang the run. The child is
// killed after 5 s, long before a read without end takes the machine's memory.
struct ChildRun {
    QByteArray output;
    QString failure;
};

ChildRun runInChild(const std::function<QByteArray()>& work)
{
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return { {}, QStringLiteral("no pipe") };
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const QByteArray output = work();
        for (qsizetype done = 0; done < output.size();) {
            const ssize_t n = ::write(channel[1], output.constData() + done, output.size() - done);
            if (n <= 0)
                break;
            done += n;
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    ChildRun run;
    const QDeadlineTimer deadline(5000);
    bool ended = child < 0;
    while (!ended && run.failure.isEmpty()) {
        pollfd ready { channel[0], POLLIN, 0 };
        if (::poll(&ready, 1, int(deadline.remainingTime())) <= 0) {
            run.failure = QStringLiteral("still busy after 5 s: it blocks or reads without end");
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(channel[0], buffer, sizeof buffer);
        if (n > 0)
            run.output.append(buffer, n);
        else
            ended = true;
    }
    int status = 0;
    if (child > 0) {
        if (!ended)
            ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ::close(channel[0]);
    if (run.failure.isEmpty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        run.failure = QStringLiteral("the child failed");
    return run;
}

void removeEntry(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode))
        QDir(path).removeRecursively();
    else
        ::unlink(native.constData());
}

// Removes what a row planted, and the lock beside it, whatever the row's outcome.
struct Planted {
    QStringList paths;
    ~Planted()
    {
        for (const QString& path : std::as_const(paths))
            removeEntry(path);
    }
};

bool giveToCoUser(const QString& path)
{
    return ::lchown(QFile::encodeName(path).constData(), coUser, coUser) == 0;
}

// What a row plants "of ours" holds this until the end, unless something wrote through the link.
const QByteArray oursContents = "ours\n";

// Plants at `path` what another user may leave where a lock belongs, owned by that user.
bool plant(const QString& kind, const QString& path, const QString& folderOfOurs)
{
    const QByteArray native = QFile::encodeName(path);
    bool planted = false;
    if (kind == QLatin1String("named pipe")) {
        planted = ::mkfifo(native.constData(), 0644) == 0;
    } else if (kind == QLatin1String("folder")) {
        planted = ::mkdir(native.constData(), 0755) == 0;
    } else if (kind.endsWith(QLatin1String("held lock")) || kind == QLatin1String("file")) {
        // A lock of a program that runs: this test.
        const QByteArray lock = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
            + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + "\n\n";
        QFile file(path);
        planted = file.open(QIODevice::NewOnly) && file.write(lock) == lock.size();
        file.close();
        if (kind.startsWith(QLatin1String("unreadable")))
            planted = planted && ::chmod(native.constData(), 0) == 0;
    } else if (kind == QLatin1String("sparse file of 1 TiB")) {
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        planted = fd >= 0 && ::ftruncate(fd, qint64(1) << 40) == 0;
        if (fd >= 0)
            ::close(fd);
    } else if (kind == QLatin1String("dangling link")) {
        planted = ::symlink("/nonexistent/reccap-lock", native.constData()) == 0;
    } else if (kind == QLatin1String("link to /dev/zero")) {
        planted = ::symlink("/dev/zero", native.constData()) == 0;
    } else if (kind == QLatin1String("link to a folder of ours")) {
        planted = ::mkdir(QFile::encodeName(folderOfOurs).constData(), 0700) == 0
            && ::symlink(QFile::encodeName(folderOfOurs).constData(), native.constData()) == 0;
    } else if (kind == QLatin1String("link to a file of ours")) {
        QFile ours(folderOfOurs);
        planted = ours.open(QIODevice::NewOnly) && ours.write(oursContents) == oursContents.size()
            && ::symlink(QFile::encodeName(folderOfOurs).constData(), native.constData()) == 0;
    }
    return planted && giveToCoUser(path);
}

// A lock that a killed program of ours left: the process it names has ended.
bool plantStaleLock(const QString& path)
{
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    if (ended < 0 || ::waitpid(ended, nullptr, 0) != ended)
        return false;
    QFile file(path);
    return file.open(QIODevice::NewOnly)
        && file.write(QByteArray::number(ended) + "\nreccap\n\n") > 0;
}

// The lock QSerialPort takes for a device, as a user of this system finds it.
QString portLockFile(const QString& device)
{
    QString name = device.mid(device.startsWith(QLatin1String("/dev/")) ? 5 : 0);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("/var/lock/LCK..") + name;
}

}

class TestFaults : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void shouldReportVanishedDeviceOnceAndKeepResultFile_data();
    void shouldReportVanishedDeviceOnceAndKeepResultFile();
    void shouldReportUnwritableResultFileOnceAndKeepWhatWasThere_data();
    void shouldReportUnwritableResultFileOnceAndKeepWhatWasThere();
    void shouldWriteCorrectLineOrRejectRecordForBadLineData_data();
    void shouldWriteCorrectLineOrRejectRecordForBadLineData();
    void shouldNeitherHangNorHoldBreakNorStartSecondLoop_data();
    void shouldNeitherHangNorHoldBreakNorStartSecondLoop();
    void shouldTakeOverOnlyALockNobodyHolds_data();
    void shouldTakeOverOnlyALockNobodyHolds();
    void shouldRefusePlantedLockWithoutBlocking_data();
    void shouldRefusePlantedLockWithoutBlocking();
    void shouldKeyTheLockOnTheDisplayAsItsServerKnowsIt_data();
    void shouldKeyTheLockOnTheDisplayAsItsServerKnowsIt();
    void shouldKeyTheLockOnTheWaylandSessionWhereThereIsOne_data();
    void shouldKeyTheLockOnTheWaylandSessionWhereThereIsOne();
    void shouldRefuseToStartWithoutTheLock_data();
    void shouldRefuseToStartWithoutTheLock();
    void shouldTakeOtherUsersAccessToOurLockFolderAway();

private:
    QString devices() const { return m_devices.folder(); }
    QString resultFile() const { return m_devices.resultFile(); }
    void linkDrive(const QString& target);

    TempDosDevices m_devices;
};

void TestFaults::initTestCase() { QVERIFY(m_devices.isValid()); }

void TestFaults::linkDrive(const QString& target)
{
    const QString link = devices() + QStringLiteral("/c:");
    QFile::remove(link);
    QVERIFY(QFile::link(target, link));
}

void TestFaults::init()
{
    linkDrive(m_devices.drive());
    QDir(resultFile()).removeRecursively();
    writeFile(resultFile(), previousLine);
}

void TestFaults::cleanup() { QDir(resultFile()).removeRecursively(); }

void TestFaults::shouldReportVanishedDeviceOnceAndKeepResultFile_data()
{
    QTest::addColumn<bool>("inBody");

    QTest::newRow("during the header wait") << false;
    QTest::newRow("during the body wait") << true;
}

void TestFaults::shouldReportVanishedDeviceOnceAndKeepResultFile()
{
    QFETCH(bool, inBody);

    PtyPair pty;
    QVERIFY(pty.isValid() && pty.linkAsPort(devices(), 3));
    Window w(new QtSerialControl);
    QByteArray fromProgram;
    const auto acks = [&] {
        fromProgram += pty.readAvailable();
        return fromProgram.count('\x06');
    };
    const auto waitingForHeader = [&] { return w.form.isCapturing() && w.port->portOpen(); };

    Script script;
    if (inBody) {
        script.then(waitingForHeader, [&] { pty.write("RCV1"); });
        script.then([&] { return acks() >= 1; }, [&] { pty.write(recordBody().left(60)); });
        // Two body polls answered: the loop is inside the body wait.
        script.then([&] { return acks() >= 3; }, [&] { pty.closeMaster(); });
    } else {
        script.then(waitingForHeader, [&] { pty.closeMaster(); });
    }
    QVERIFY(script.run(w.form, [&] { w.form.command1Click(); }));
    QCoreApplication::processEvents();

    QCOMPARE(w.fatals.size(), 1);
    QVERIFY2(w.fatals.first().contains(QStringLiteral("COM3")), qPrintable(w.fatals.first()));
    QCOMPARE(w.ends, QList<int> { 1 });
    QVERIFY(!w.form.isCapturing());
    QVERIFY(!w.port->portOpen());
    QCOMPARE(w.text("Text1"), inBody ? QStringLiteral("RCV1") : QString());
    QCOMPARE(readAll(resultFile()), previousLine);
}

void TestFaults::shouldReportUnwritableResultFileOnceAndKeepWhatWasThere_data()
{
    QTest::addColumn<bool>("pathIsFolder");

    QTest::newRow("result path is a folder") << true;
    QTest::newRow("drive folder missing") << false;
}

void TestFaults::shouldReportUnwritableResultFileOnceAndKeepWhatWasThere()
{
    QFETCH(bool, pathIsFolder);

    const QString missing = m_devices.driveFile(QStringLiteral("gone"));
    const QString kept = resultFile() + QStringLiteral("/kept.txt");
    // The file goes out of reach once the header has been answered: the check before the answer
    // passed, and only the write itself can fail, which ends the program as any failed write.
    bool blocked = false;
    const auto block = [&] {
        if (pathIsFolder) {
            blocked = QFile::remove(resultFile()) && QDir().mkpath(resultFile());
            writeFile(kept, previousLine);
        } else {
            linkDrive(missing);
            blocked = true;
        }
    };

    PtyPair pty;
    QVERIFY(pty.isValid() && pty.linkAsPort(devices(), 3));
    Window w(new QtSerialControl);
    QByteArray fromProgram;
    Script script;
    script.then(
        [&] { return w.form.isCapturing() && w.port->portOpen(); }, [&] { pty.write("RCV1"); });
    script.then(
        [&] {
            fromProgram += pty.readAvailable();
            return fromProgram.contains('\x06');
        },
        [&] {
            block();
            pty.write(recordBody());
        });
    QVERIFY(script.run(w.form, [&] { w.form.command1Click(); }));
    QCoreApplication::processEvents();

    QVERIFY(blocked);
    QCOMPARE(w.fatals.size(), 1);
    QVERIFY2(w.fatals.first().contains(QStringLiteral("Result.txt")), qPrintable(w.fatals.first()));
    QCOMPARE(w.ends, QList<int> { 1 });
    QVERIFY(!w.form.isCapturing());
    QVERIFY(!w.port->portOpen());
    // The record itself was received in full: it is the file that failed.
    QCOMPARE(w.text("Text7"), QStringLiteral("見本氏名"));
    if (pathIsFolder) {
        QCOMPARE(readAll(kept), previousLine);
        QCOMPARE(QDir(resultFile()).entryList(QDir::Files), QStringList { "kept.txt" });
    } else {
        QVERIFY(!QFileInfo::exists(missing));
    }
}

void TestFaults::shouldWriteCorrectLineOrRejectRecordForBadLineData_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("shownHeader");
    // Empty: the record is rejected with the communication-error box.
    QTest::addColumn<QByteArray>("line");

    const QByteArray nul(1, '\0');
    QTest::newRow("NUL bytes before the ID")
        << QByteArray("RCV1") << recordBody(kanji, QByteArray(22, '\0')) << "RCV1"
        << resultLine(kanji);
    // The file's reader takes the line as plain text; a control character in it is damage.
    QTest::newRow("NUL in the name")
        << QByteArray("RCV1") << recordBody("\x8c\xa9" + nul + "\x96\x7b") << "RCV1"
        << QByteArray();
    QTest::newRow("lone ESC inside the name ends it")
        << QByteArray("RCV1") << recordBody("\x8c\xa9\x96\x7b\x1b\x8e\x81\x96\xbc") << "RCV1"
        << resultLine("\x8c\xa9\x96\x7b");
    QTest::newRow("commas without ESC are data")
        << QByteArray("RCV1") << recordBody("\x8c\xa9,\x96\x7b", ",,.,.,,...,.,,,..,.,,.") << "RCV1"
        << resultLine("\x8c\xa9,\x96\x7b");
    QTest::newRow("invalid bytes before the ID count one character each")
        << QByteArray("RCV1") << recordBody(kanji, "\x80\xa0\xfd\xfe\xff\x85" + QByteArray(16, '.'))
        << "RCV1" << resultLine(kanji);
    QTest::newRow("invalid byte in the name")
        << QByteArray("RCV1") << recordBody("\x8c\xa9\xff\x96\x7b") << "RCV1" << QByteArray();
    QTest::newRow("1,000 ESCs") << QByteArray("RCV1") << QByteArray(1000, '\x1b') << "RCV1"
                                << QByteArray();
    QTest::newRow("ACK and 999 ESCs")
        << QByteArray("RCV1") << "\x06" + QByteArray(999, '\x1b') << "RCV1" << QByteArray();
    QTest::newRow("header of 4 lead bytes is 2 characters") << QByteArray(
        "\x88\x9f\x88\x9f"
        "AB") << recordBody() << QStringLiteral("亜亜AB") << resultLine(kanji);
    QTest::newRow("body beyond the 1024-byte receive buffer in one write") << QByteArray(
        "RCV1") << recordBody(kanji, QByteArray(22, '.'), 2000) << "RCV1" << resultLine(kanji);
}

void TestFaults::shouldWriteCorrectLineOrRejectRecordForBadLineData()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, body);
    QFETCH(QString, shownHeader);
    QFETCH(QByteArray, line);

    PtyPair pty;
    QVERIFY(pty.isValid() && pty.linkAsPort(devices(), 3));
    Window w(new QtSerialControl);
    QByteArray fromProgram;
    int rejections = 0;
    Script script;
    script.then(
        [&] { return w.form.isCapturing() && w.port->portOpen(); }, [&] { pty.write(header); });
    script.then(
        [&] {
            fromProgram += pty.readAvailable();
            return fromProgram.contains('\x06');
        },
        [&] { pty.write(body); });
    // The record is handled: either the box asks for a resend, or the file is written and the
    // lamp is green while the loop holds the port closed.
    script.then([&] { return commErrorBox() || (w.lamp() == green && !w.port->portOpen()); },
        [&] {
            if (QMessageBox* box = commErrorBox()) {
                ++rejections;
                QCOMPARE(box->windowTitle(), QStringLiteral("通信エラー"));
                box->button(QMessageBox::Ok)->click();
            }
        });
    // The next cycle waits for a header: stop the loop as "Comm Break" does.
    script.then([&] { return w.port->portOpen(); }, [&] { w.port->setPortOpen(false); });
    QVERIFY(script.run(w.form, [&] { w.form.command1Click(); }));
    fromProgram += pty.readAvailable();

    QVERIFY2(w.fatals.isEmpty(), qPrintable(w.fatals.join(QLatin1Char('\n'))));
    QVERIFY(w.ends.isEmpty());
    QVERIFY(!w.form.isCapturing());
    QCOMPARE(w.text("Text1"), shownHeader);
    QCOMPARE(rejections, line.isEmpty() ? 1 : 0);
    QCOMPARE(readAll(resultFile()), line.isEmpty() ? previousLine : line);
    // Nothing but ACKs went to the instrument: one for the header, at least one for the body.
    QVERIFY(fromProgram.size() >= 2);
    QCOMPARE(fromProgram, QByteArray(fromProgram.size(), '\x06'));
}

void TestFaults::shouldNeitherHangNorHoldBreakNorStartSecondLoop_data()
{
    // How the test begins: "Comm Open", or "Comm Break" with no loop.
    QTest::addColumn<QString>("start");
    // Each step is "condition>action", taken in turn. The operator's last press decides what
    // follows a break: a row that ends capturing closes the window once capture runs.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("loopStarts");
    // Whether the whole test must last a full break (no close cuts it short).
    QTest::addColumn<bool>("fullBreak");

    QTest::newRow("no loop: Break, Open in its wait")
        << "break" << QStringList { "breaking>open", "capturing>close" } << 1 << false;
    QTest::newRow("no loop: Break, Open, Break in its wait")
        << "break" << QStringList { "breaking>open", "breaking>break" } << 0 << true;
    QTest::newRow("no loop: Break, Break, Open in its wait")
        << "break" << QStringList { "breaking>break", "breaking>open", "capturing>close" } << 1
        << false;
    QTest::newRow("no loop: Break, Open after its wait")
        << "break" << QStringList { "idle>open", "capturing>close" } << 1 << false;
    QTest::newRow("header wait: Open again, then Break")
        << "open" << QStringList { "header wait>open", "header wait>break" } << 1 << true;
    QTest::newRow("header wait: Break, Open in its wait")
        << "open" << QStringList { "header wait>break", "breaking>open", "capturing>close" } << 2
        << false;
    QTest::newRow("body wait: Break, Open in its wait")
        << "open" << QStringList { "body wait>break", "breaking>open", "capturing>close" } << 2
        << false;
    QTest::newRow("header wait: Break, Open, Break in its wait")
        << "open" << QStringList { "header wait>break", "breaking>open", "breaking>break" } << 1
        << true;
    QTest::newRow("header wait: Break, Break, Open in its wait")
        << "open"
        << QStringList { "header wait>break", "breaking>break", "breaking>open", "capturing>close" }
        << 2 << false;
    QTest::newRow("header wait: Break twice quickly")
        << "open" << QStringList { "header wait>break twice" } << 1 << true;
    QTest::newRow("body wait: Break twice quickly")
        << "open" << QStringList { "body wait>break twice" } << 1 << true;
    QTest::newRow("after the result file: Break")
        << "open" << QStringList { "filed>break" } << 1 << true;
    QTest::newRow("after the result file: Break, Break in its wait")
        << "open" << QStringList { "filed>break", "breaking>break" } << 1 << true;
    QTest::newRow("after the result file: Break, Open in its wait")
        << "open" << QStringList { "filed>break", "breaking>open", "capturing>close" } << 2
        << false;
    QTest::newRow("after the result file: Break, Open, Break in its wait")
        << "open" << QStringList { "filed>break", "breaking>open", "breaking>break" } << 1 << true;
    QTest::newRow("window closed in the header wait")
        << "open" << QStringList { "header wait>close" } << 1 << false;
    QTest::newRow("window closed during the break's wait in the body wait")
        << "open" << QStringList { "body wait>break", "breaking>close" } << 1 << false;
    QTest::newRow("window closed during the break's wait with no loop")
        << "break" << QStringList { "breaking>close" } << 0 << false;
    QTest::newRow("window closed after Open in the break's wait with no loop")
        << "break" << QStringList { "breaking>open", "breaking>close" } << 0 << false;
}

void TestFaults::shouldNeitherHangNorHoldBreakNorStartSecondLoop()
{
    QFETCH(QString, start);
    QFETCH(QStringList, steps);
    QFETCH(int, loopStarts);
    QFETCH(bool, fullBreak);

    auto* port = new FakeSerialControl;
    Window w(port);
    LoopStartCounter counter(w.button("Command1"));
    const bool bodyScripted = steps.first().startsWith(QLatin1String("filed"));
    if (bodyScripted)
        port->addReads({ QStringLiteral("HEAD"), Cp932Decoder().decode(recordBody()) });
    else if (steps.first().startsWith(QLatin1String("body wait")))
        port->addReads({ QStringLiteral("HEAD"), QStringLiteral("\u0006abc") });

    const QMap<QString, std::function<bool()>> conditions {
        { "header wait",
            [&] { return w.form.isCapturing() && port->portOpen() && w.lamp() == green; } },
        { "body wait",
            [&] { return w.form.isCapturing() && port->portOpen() && w.lamp() == blue; } },
        // The yield after the result file: the loop holds the port closed, the lamp is green.
        { "filed", [&] { return w.form.isCapturing() && !port->portOpen() && w.lamp() == green; } },
        { "breaking", [&] { return w.form.isBreaking(); } },
        // A loop that the last press asked for, on an open line out of break.
        { "capturing",
            [&] {
                return w.form.isCapturing() && !w.form.isBreaking() && port->portOpen()
                    && !port->breakOn() && w.lamp() == green && !w.button("Command1")->isEnabled();
            } },
        { "idle",
            [&] {
                return !w.form.isCapturing() && !w.form.isBreaking() && !port->portOpen()
                    && w.lamp() == red && w.button("Command1")->isEnabled();
            } },
    };
    QElapsedTimer sinceClose;
    const QMap<QString, std::function<void()>> actions {
        { "break", [&] { QTest::mouseClick(w.button("Command2"), Qt::LeftButton); } },
        { "break twice",
            [&] {
                // Both clicks are queued before the first is handled, as when a busy window
                // catches up on a double click. Qt hands the second over once the first break
                // has ended and before the loop looks at the port again, so the second break
                // reopens the port; its own close still ends the loop.
                for (int i = 0; i < 2; ++i)
                    QMetaObject::invokeMethod(
                        w.button("Command2"), &QAbstractButton::click, Qt::QueuedConnection);
            } },
        { "open", [&] { QTest::mouseClick(w.button("Command1"), Qt::LeftButton); } },
        { "close",
            [&] {
                sinceClose.start();
                w.form.close();
            } },
    };

    Script script;
    for (const QString& step : steps) {
        const QStringList parts = step.split(QLatin1Char('>'));
        QVERIFY2(conditions.contains(parts[0]) && actions.contains(parts[1]), qPrintable(step));
        script.then(conditions[parts[0]], actions[parts[1]]);
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(script.run(w.form, [&] {
        if (start == QLatin1String("open"))
            w.form.command1Click();
        else
            w.form.command2Click();
    }));
    // The queued second click of "break twice" may still be pending when nothing nests it.
    QTRY_VERIFY(!w.form.isBreaking() && !w.form.isCapturing());

    QVERIFY(!port->portOpen());
    QVERIFY(!port->breakOn());
    QVERIFY(w.fatals.isEmpty());
    QCOMPARE(counter.starts(), loopStarts);
    if (fullBreak) {
        QVERIFY(clock.elapsed() >= 1000);
        QCOMPARE(w.lamp(), red);
        QVERIFY(w.button("Command1")->isEnabled());
    } else
        QVERIFY2(sinceClose.elapsed() < 500, "a wait went on after the window closed");
    if (bodyScripted)
        QCOMPARE(readAll(resultFile()), resultLine(kanji));
    // The line is never polled while it is held in break: no loop runs inside a break's wait.
    bool inBreak = false;
    for (const QString& entry : port->log()) {
        if (entry == QLatin1String("break:on"))
            inBreak = true;
        else if (entry == QLatin1String("break:off") || entry == QLatin1String("close"))
            inBreak = false;
        else if (inBreak && entry.startsWith(QLatin1String("read:")))
            QFAIL(qPrintable(QStringLiteral("polled during a break: ") + port->log().join(' ')));
    }
}

void TestFaults::shouldTakeOverOnlyALockNobodyHolds_data()
{
    QTest::addColumn<bool>("holderRuns");
    QTest::addColumn<int>("claim");

    // A killed reccap's lock names its process id, which a later reccap may be given again.
    QTest::newRow("left by a killed reccap whose process id is now ours")
        << false << int(SingleInstance::Claim::Claimed);
    QTest::newRow("held by a running reccap") << true << int(SingleInstance::Claim::HeldByAnother);
}

void TestFaults::shouldTakeOverOnlyALockNobodyHolds()
{
    QFETCH(bool, holderRuns);
    QFETCH(int, claim);

    QTemporaryDir runtime;
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    SingleInstance instance;
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
    QVERIFY(instance.lockPath().startsWith(runtime.path()));
    QVERIFY(QDir().mkpath(QFileInfo(instance.lockPath()).path()));

    QLockFile holder(instance.lockPath());
    QVERIFY(holder.tryLock(0));
    if (!holderRuns) {
        QFile lock(instance.lockPath());
        QVERIFY(lock.open(QIODevice::ReadOnly));
        const QByteArray contents = lock.readAll();
        lock.close();
        holder.unlock();
        QVERIFY(lock.open(QIODevice::WriteOnly));
        QCOMPARE(lock.write(contents), contents.size());
        lock.close();
    }
    QCOMPARE(int(instance.claim()), claim);
}

void TestFaults::shouldRefusePlantedLockWithoutBlocking_data()
{
    // "port": the serial port's lock in the shared lock folder. "instance": the one-reccap lock
    // inside this user's lock folder. "instance folder": that folder itself, in the shared
    // temporary folder, where its name can be guessed. "instance call": the file beside that
    // lock through which a second start calls the running reccap, as the running one sets it up
    // ("answered") and as a second start writes it ("made"); nothing there stops reccap, but it
    // must neither block nor write through a link.
    QTest::addColumn<QString>("lock");
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("outcome");

    const QStringList lockKinds { "named pipe", "folder", "held lock", "unreadable held lock",
        "sparse file of 1 TiB", "dangling link", "link to /dev/zero",
        "named pipe as .rmlock beside a stale lock" };
    for (const QString& lock : { QStringLiteral("port"), QStringLiteral("instance") }) {
        for (const QString& kind : lockKinds)
            QTest::newRow(qPrintable(lock + QStringLiteral(" lock: ") + kind))
                << lock << kind << "refused";
    }
    const QStringList folderKinds { "named pipe", "folder", "file", "dangling link",
        "link to /dev/zero", "link to a folder of ours" };
    for (const QString& kind : folderKinds)
        QTest::newRow(qPrintable(QStringLiteral("instance folder: ") + kind))
            << "instance folder" << kind << "refused";
    for (const QString& kind :
        { QStringLiteral("named pipe"), QStringLiteral("link to a file of ours") }) {
        QTest::newRow(qPrintable(QStringLiteral("instance call answered: ") + kind))
            << "instance call answered" << kind << "claimed";
        QTest::newRow(qPrintable(QStringLiteral("instance call made: ") + kind))
            << "instance call made" << kind << "held by another";
    }
}

void TestFaults::shouldRefusePlantedLockWithoutBlocking()
{
    QFETCH(QString, lock);
    QFETCH(QString, planted);
    QFETCH(QString, outcome);
    if (::geteuid() != 0)
        QSKIP("Only root can plant objects that belong to another user");

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    // A shared temporary folder of the test's own, like /tmp.
    QCOMPARE(::chmod(QFile::encodeName(temp.path()).constData(), 01777), 0);
    const EnvironmentChange tmpdir("TMPDIR", QFile::encodeName(temp.path()));
    const EnvironmentChange runtime("XDG_RUNTIME_DIR", QByteArray());
    SingleInstance instance;
    const QString instanceFolder = QFileInfo(instance.lockPath()).path();

    PtyPair pty;
    QVERIFY(pty.isValid() && pty.linkAsPort(devices(), 3));
    QString path = portLockFile(pty.slavePath());
    if (lock == QLatin1String("instance folder")) {
        path = instanceFolder;
    } else if (lock.startsWith(QLatin1String("instance"))) {
        const QByteArray folder = QFile::encodeName(instanceFolder);
        QVERIFY(::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST);
        path = lock == QLatin1String("instance") ? instance.lockPath() : instance.callPath();
    }
    // The running reccap that a second start calls: this test.
    QLockFile running(instance.lockPath());
    if (lock == QLatin1String("instance call made"))
        QVERIFY(running.tryLock(0));
    Planted cleanup { { path, path + QStringLiteral(".rmlock") } };
    QString named = path;
    if (planted.endsWith(QLatin1String("beside a stale lock"))) {
        named = path + QStringLiteral(".rmlock");
        QVERIFY(plantStaleLock(path));
        QVERIFY(plant(QStringLiteral("named pipe"), named, {}));
    } else {
        QVERIFY(plant(planted, path, temp.filePath("ours")));
    }

    const ChildRun run = runInChild([&] {
        if (lock == QLatin1String("port")) {
            QtSerialControl port;
            port.setCommPort(3);
            const bool opened = port.setPortOpen(true);
            return QByteArray(opened ? "opened\n" : "refused\n") + port.errorString().toUtf8();
        }
        // What the program goes on to do with each claim.
        const SingleInstance::Claim claim = instance.claim();
        if (claim == SingleInstance::Claim::Claimed)
            instance.answerCalls([] {});
        else if (claim == SingleInstance::Claim::HeldByAnother)
            instance.callHolder();
        const char* said = claim == SingleInstance::Claim::Claimed ? "claimed\n"
            : claim == SingleInstance::Claim::HeldByAnother        ? "held by another\n"
                                                                   : "refused\n";
        return QByteArray(said) + instance.problem().toUtf8();
    });
    QVERIFY2(run.failure.isEmpty(), qPrintable(run.failure));
    const QString seen = QString::fromUtf8(run.output).section(QLatin1Char('\n'), 0, 0);
    const QString message = QString::fromUtf8(run.output).section(QLatin1Char('\n'), 1);
    QCOMPARE(seen, outcome);
    if (outcome == QLatin1String("refused")) {
        QVERIFY2(message.contains(named) && message.contains(QLatin1String("nobody")),
            qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("already running")), qPrintable(message));
    }
    if (planted == QLatin1String("link to a file of ours")) {
        QFile ours(temp.filePath("ours"));
        QVERIFY(ours.open(QIODevice::ReadOnly));
        QCOMPARE(ours.readAll(), oursContents);
    }
}

void TestFaults::shouldKeyTheLockOnTheDisplayAsItsServerKnowsIt_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<bool>("sameAsLocal85");

    QTest::newRow("the local socket spelt out") << "unix:85" << true;
    QTest::newRow("a screen") << ":85.0" << true;
    QTest::newRow("a screen on the local socket") << "unix:85.1" << true;
    QTest::newRow("TCP on this machine") << "localhost:85" << true;
    QTest::newRow("this host's name") << QSysInfo::machineHostName() + ":85" << true;
    QTest::newRow("a protocol before the host") << "tcp/localhost:85" << true;
    QTest::newRow("the local socket of this host") << "localhost/unix:85" << true;
    QTest::newRow("another display") << ":86" << false;
    QTest::newRow("another display with a screen") << ":8.5" << false;
    QTest::newRow("another machine's display") << "desk7.example:85" << false;
}

void TestFaults::shouldKeyTheLockOnTheWaylandSessionWhereThereIsOne_data()
{
    // What each of two programs of one user sees: DISPLAY, WAYLAND_DISPLAY.
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<bool>("same");

    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QTest::newRow("X and Wayland, Wayland alone")
        << QStringList { ":85", "wayland-0" } << QStringList { "", "wayland-0" } << true;
    QTest::newRow("another X display, the same Wayland session")
        << QStringList { ":85", "wayland-0" } << QStringList { ":86", "wayland-0" } << true;
    QTest::newRow("the socket by name and by path")
        << QStringList { "", "wayland-0" }
        << QStringList { "", QDir::cleanPath(runtime + QStringLiteral("/wayland-0")) } << true;
    QTest::newRow("another Wayland session")
        << QStringList { ":85", "wayland-0" } << QStringList { ":85", "wayland-1" } << false;
}

void TestFaults::shouldKeyTheLockOnTheWaylandSessionWhereThereIsOne()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(bool, same);

    const auto lockPathSeeing = [](const QStringList& displays) {
        const EnvironmentChange x("DISPLAY", displays.at(0).toUtf8());
        const EnvironmentChange wayland("WAYLAND_DISPLAY", displays.at(1).toUtf8());
        return SingleInstance().lockPath();
    };
    const QString a = lockPathSeeing(first);
    const QString b = lockPathSeeing(second);
    QVERIFY2((a == b) == same, qPrintable(a + QStringLiteral(" / ") + b));
}

void TestFaults::shouldKeyTheLockOnTheDisplayAsItsServerKnowsIt()
{
    QFETCH(QString, display);
    QFETCH(bool, sameAsLocal85);

    const EnvironmentChange wayland("WAYLAND_DISPLAY", QByteArray());
    QString local;
    {
        const EnvironmentChange x("DISPLAY", ":85");
        local = SingleInstance().lockPath();
    }
    const EnvironmentChange x("DISPLAY", display.toUtf8());
    const QString path = SingleInstance().lockPath();
    QVERIFY2((path == local) == sameAsLocal85, qPrintable(path + QStringLiteral(" / ") + local));
}

void TestFaults::shouldRefuseToStartWithoutTheLock_data()
{
    // Where the lock's folder should be, and what stands in its way.
    QTest::addColumn<bool>("runtimeFolder");
    QTest::addColumn<QString>("reason");

    QTest::newRow("temporary folder missing") << false << "No such file or directory";
    QTest::newRow("a file of ours in the runtime folder") << true << "is a file";
}

void TestFaults::shouldRefuseToStartWithoutTheLock()
{
    QFETCH(bool, runtimeFolder);
    QFETCH(QString, reason);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString missing = temp.filePath(QStringLiteral("missing"));
    const EnvironmentChange tmpdir("TMPDIR", QFile::encodeName(missing));
    const EnvironmentChange runtime(
        "XDG_RUNTIME_DIR", runtimeFolder ? QFile::encodeName(temp.path()) : QByteArray());
    if (runtimeFolder)
        writeFile(temp.filePath(QStringLiteral("reccap")), "not a folder\n");
    SingleInstance instance;

    QCOMPARE(int(instance.claim()), int(SingleInstance::Claim::Unavailable));
    const QString folder = runtimeFolder ? temp.filePath(QStringLiteral("reccap")) : missing;
    QVERIFY2(instance.problem().contains(folder) && instance.problem().contains(reason),
        qPrintable(instance.problem()));
}

void TestFaults::shouldTakeOtherUsersAccessToOurLockFolderAway()
{
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const EnvironmentChange change("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    SingleInstance instance;
    const QString folder = QFileInfo(instance.lockPath()).path();
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);

    QCOMPARE(int(instance.claim()), int(SingleInstance::Claim::Claimed));
    struct stat info { };
    QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
